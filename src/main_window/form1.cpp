#include "main_window/form1.h"

#include "main_window/desktop_notice.h"
#include "main_window/layout.h"

#include "connections/socket_array.h"
#include "connections/socket_control.h"
#include "discovery/dns_sd.h"
#include "rich_text/document.h"
#include "rich_text/rich_text_box.h"

#include <QAbstractItemView>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCompleter>
#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QValidator>

#include <algorithm>
#include <limits>

const QString Form1::DireccionInicial = QStringLiteral("127.0.0.1");

namespace {

constexpr quint32 kFondoVentana = 0x808080;
constexpr quint32 kFondoCaja = 0xE0E0E0;
constexpr quint32 kFondoBoton = 0xC0C0C0;
constexpr quint32 kFondoAyuda = 0x0000FF;

const QString kTituloAcercaDe = QStringLiteral("Que hace... VarloZintabel");
const QString kTextoAcercaDe
    = QStringLiteral("Recibe mensajes de múltiples fuentes\r\nEnvia mensajes a un único destinatario");

// How many failure lines the one failure box keeps before dropping the oldest.
constexpr int kLineasDeFallo = 8;

// Colours are written &HBBGGRR: blue in the high byte, red in the low byte.
QColor colorDeBgr(quint32 bgr) { return QColor(QRgb(rich_text::swapRedBlue(bgr))); }

// Twips become pixels through the screen's logical resolution.
QRect aPixeles(const QWidget *widget, const disposicion::Twips &t)
{
    const double x = widget->logicalDpiX() / 1440.0;
    const double y = widget->logicalDpiY() / 1440.0;
    return QRect(qRound(t.left * x), qRound(t.top * y), qRound(t.width * x), qRound(t.height * y));
}

// Buttons drawn in the graphical style, so that their back colour shows.
QPushButton *botonGrafico(const QString &name, const QString &caption, quint32 bgr, QWidget *parent)
{
    auto *button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setAutoDefault(true); // Enter clicks the focused button, as Space does
    const QColor back = colorDeBgr(bgr);
    button->setStyleSheet(
        QStringLiteral("QPushButton { background-color: %1; border: 1px solid #303030; border-radius: 0px; }"
                       "QPushButton:pressed { background-color: %2; border-style: inset; }"
                       "QPushButton:focus { border: 1px dotted #000000; }"
                       "QPushButton:disabled { color: #808080; border-color: #707070; }")
            .arg(back.name(), back.darker(120).name()));
    return button;
}

bool esSaltoDeLinea(QChar c) { return c == u'\r' || c == u'\n'; }

// A single-line box takes in no line break, as a classic one does: text that
// comes in at once (pasted, dropped, set, inserted by a screen reader) keeps
// what precedes its first line break and loses the rest of itself.
// The insertion is found by comparing with the text the box held before,
// since it may happen anywhere, not only at the caret.
class SinSaltosDeLinea : public QValidator {
public:
    explicit SinSaltosDeLinea(QLineEdit *box)
        : QValidator(box)
        , m_aceptado(box->text())
    {
        connect(box, &QLineEdit::textChanged, this, [this](const QString &text) { m_aceptado = text; });
    }

    State validate(QString &text, int &cursor) const override
    {
        const auto first = std::find_if(text.cbegin(), text.cend(), esSaltoDeLinea);
        if (first == text.cend())
            return Acceptable;
        // The accepted text holds no line break, so every break lies in the
        // inserted part, which ends where the unchanged end of the text begins.
        const qsizetype cut = first - text.cbegin();
        text = text.left(cut) + text.right(finComun(m_aceptado, text, cut));
        cursor = int(cut);
        return Acceptable;
    }

private:
    // How many characters `after` ends with that `before` ends with too,
    // none of them before position `from` of `after`.
    static qsizetype finComun(const QString &before, const QString &after, qsizetype from)
    {
        const qsizetype most = std::min(before.size(), after.size() - from);
        qsizetype n = 0;
        while (n < most && before[before.size() - 1 - n] == after[after.size() - 1 - n])
            ++n;
        return n;
    }

    QString m_aceptado; // the box's text as last accepted
};

QLineEdit *cajaDeTexto(const QString &name, const QString &text, QWidget *parent)
{
    auto *box = new QLineEdit(text, parent);
    box->setObjectName(name);
    box->setStyleSheet(QStringLiteral("QLineEdit { background-color: %1; }"
                                      "QLineEdit:disabled { color: #606060; }")
                           .arg(colorDeBgr(kFondoCaja).name()));
    box->setMaxLength(std::numeric_limits<int>::max());
    box->setValidator(new SinSaltosDeLinea(box));
    return box;
}

// What a screen reader announces for a control; the description only where
// the caption alone says too little.
void nombrarParaLectores(QWidget *widget, const QString &name, const QString &description = QString())
{
    widget->setAccessibleName(name);
    widget->setAccessibleDescription(description);
}

// To screen readers the window is a frame, as Qt's main windows are, named
// by its caption.
QAccessibleInterface *interfazDeVentana(const QString &className, QObject *object)
{
    if (className != QLatin1String(Form1::staticMetaObject.className()) || !object->isWidgetType())
        return nullptr;
    return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::Window);
}

void avisoDelEscritorio(QWidget *window) { QApplication::alert(window); }

// What a notification shows of a message: its first line, up to 200
// characters, with an ellipsis where it was cut.
QString inicioDelMensaje(const QString &recibido)
{
    constexpr qsizetype kMostShown = 200;
    qsizetype end = recibido.size();
    for (qsizetype i = 0; i < recibido.size(); ++i) {
        if (recibido[i] == u'\r' || recibido[i] == u'\n') {
            end = i;
            break;
        }
    }
    const bool cut = end < recibido.size() || end > kMostShown;
    return recibido.left(std::min(end, kMostShown)) + (cut ? QStringLiteral("…") : QString());
}

void cuadroInformativoModal(QWidget *parent, const QString &title, const QString &text)
{
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QMessageBox::information(parent, title, shown, QMessageBox::Ok);
}

} // namespace

// The icon is compiled into the chat library, a static archive: the linker
// takes an archive member only when code it already links refers to it, so
// the resource is registered explicitly or the program would have no icon.
static void registrarRecursos() { Q_INIT_RESOURCE(resources); }

Form1::Form1(connections::LingeringConnections &lingering, const QHostAddress &bindAddress, QWidget *parent)
    : QWidget(parent)
    , m_cuadroInformativo(cuadroInformativoModal)
    , m_avisoDeAtencion(avisoDelEscritorio)
    , m_avisoDelEscritorio(new DesktopNotice(this))
    , m_avisoDeMensaje([this](const QString &titulo, const QString &texto, bool nuevo) {
        if (nuevo)
            m_avisoDelEscritorio->show(titulo, texto);
        else
            m_avisoDelEscritorio->update(titulo, texto);
    })
{
    QAccessible::installFactory(interfazDeVentana); // more windows change nothing
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Varlo-Zintabel"));
    registrarRecursos();
    setWindowIcon(QIcon(QStringLiteral(":/icons/varlo-zintabel.png")));
    // The classic dialog font: 8-point sans-serif, so that every caption fits
    // its button in the fixed layout.
    QFont controlsFont(QStringLiteral("sans-serif"));
    controlsFont.setStyleHint(QFont::SansSerif);
    controlsFont.setPointSizeF(8);
    setFont(controlsFont);
    crearControles();
    WSCEnvia = new connections::SocketControl(lingering, this);
    WSCEnvia->setObjectName(QStringLiteral("WSCEnvia"));
    WSCEnvia->setBindAddress(bindAddress);
    WSCRecibe = new connections::SocketArray(lingering, bindAddress, this);
    WSCRecibe->setObjectName(QStringLiteral("WSCRecibe"));
    colocarControles();
    conectarEventos();
    protegido([this] { Form_Load(); });
    OfrecerCopiasEncontradas();
    Timer1->start();
}

// What finds other copies tells the list of them: it goes first.
Form1::~Form1() { delete std::exchange(m_dnsSd, nullptr); }

void Form1::setCuadroInformativo(CuadroInformativo box) { m_cuadroInformativo = std::move(box); }

void Form1::setAvisoDeAtencion(AvisoDeAtencion aviso) { m_avisoDeAtencion = std::move(aviso); }

void Form1::setAvisoDeMensaje(AvisoDeMensaje aviso) { m_avisoDeMensaje = std::move(aviso); }

void Form1::PedirAtencion(const QString &remitente, const QString &recibido)
{
    if (isActiveWindow())
        return;
    const bool nueva = m_rafaga.mensajes == 0 || m_rafaga.desde.elapsed() >= kSilencioEntreRafagasMs;
    if (nueva) {
        m_rafaga = Rafaga{};
        m_avisoPendiente->stop();
        m_avisoDeAtencion(this);
    }
    ++m_rafaga.mensajes;
    if (!m_rafaga.remitentes.contains(remitente))
        m_rafaga.remitentes.append(remitente);
    m_rafaga.ultimo = inicioDelMensaje(recibido);
    m_rafaga.desde.start();
    m_rafaga.porDecir = true;
    if (!m_avisoPendiente->isActive())
        AvisoPendiente_Timer();
}

// The notification shows the burst's latest at most every kAvisoCadaMs.
void Form1::AvisoPendiente_Timer()
{
    if (!std::exchange(m_rafaga.porDecir, false))
        return;
    m_avisoDeMensaje(TituloDelAviso(), m_rafaga.ultimo, m_rafaga.mensajes == 1);
    m_avisoPendiente->start();
}

QString Form1::TituloDelAviso() const
{
    QStringList quienes = m_rafaga.remitentes.mid(0, 3);
    if (m_rafaga.remitentes.size() > 3)
        quienes.append(QStringLiteral("otros"));
    const QString de = quienes.size() == 1
        ? quienes.front()
        : quienes.mid(0, quienes.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" y ") + quienes.back();
    return m_rafaga.mensajes == 1 ? QStringLiteral("Mensaje de %1").arg(de)
                                  : QStringLiteral("%1 mensajes de %2").arg(m_rafaga.mensajes).arg(de);
}

void Form1::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        m_rafaga = Rafaga{};
        m_avisoPendiente->stop();
    }
    QWidget::changeEvent(event);
}

bool Form1::slotOcupado(int n) const { return n >= 1 && n <= NumeroSlots && SlotOcupado[n]; }

void Form1::crearControles()
{
    TxtMensaje = cajaDeTexto(QStringLiteral("TxtMensaje"), QString(), this);
    CmdEnviar = botonGrafico(QStringLiteral("CmdEnviar"), QStringLiteral("Enviar"), kFondoBoton, this);
    TxtIp = cajaDeTexto(QStringLiteral("TxtIp"), DireccionInicial, this);
    CmdConectar = botonGrafico(QStringLiteral("CmdConectar"), QStringLiteral("Conectar"), kFondoBoton, this);
    CmdDesconectar = botonGrafico(QStringLiteral("CmdDesconectar"), QStringLiteral("Desconectar"), kFondoBoton, this);
    CmdDesconectar->setEnabled(false);

    TxtTexto = new rich_text::RichTextBox(this);
    TxtTexto->setObjectName(QStringLiteral("TxtTexto"));
    TxtTexto->setBackgroundColor(colorDeBgr(kFondoCaja));
    QFont transcriptFont(QStringLiteral("sans-serif"));
    transcriptFont.setStyleHint(QFont::SansSerif);
    transcriptFont.setPointSizeF(9.75);
    TxtTexto->setFont(transcriptFont);

    Command1 = botonGrafico(QStringLiteral("Command1"), QStringLiteral("?"), kFondoAyuda, this);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(500);

    nombrarControlesParaLectores();

    setTabOrder(TxtMensaje, CmdEnviar);
    setTabOrder(CmdEnviar, TxtIp);
    setTabOrder(TxtIp, CmdConectar);
    setTabOrder(CmdConectar, CmdDesconectar);
    setTabOrder(CmdDesconectar, TxtTexto);
    setTabOrder(TxtTexto, Command1);
    TxtMensaje->setFocus();
}

void Form1::nombrarControlesParaLectores()
{
    nombrarParaLectores(TxtMensaje, QStringLiteral("Mensaje"),
                        QStringLiteral("Texto que se envía al pulsar Intro o Enviar"));
    nombrarParaLectores(CmdEnviar, QStringLiteral("Enviar"));
    nombrarParaLectores(TxtIp, QStringLiteral("Dirección del otro equipo"),
                        QStringLiteral("Dirección IP o nombre del equipo con el que conectar"));
    nombrarParaLectores(CmdConectar, QStringLiteral("Conectar"));
    nombrarParaLectores(CmdDesconectar, QStringLiteral("Desconectar"));
    nombrarParaLectores(TxtTexto, QStringLiteral("Conversación"),
                        QStringLiteral("Mensajes enviados y recibidos; los recibidos, en azul"));
    nombrarParaLectores(Command1, QStringLiteral("Acerca de"), QStringLiteral("Muestra qué hace Varlo-Zintabel"));
}

// The controls keep these places whatever happens; the window has a fixed size.
void Form1::colocarControles()
{
    QPalette background = palette();
    background.setColor(QPalette::Window, colorDeBgr(kFondoVentana));
    setPalette(background);
    setAutoFillBackground(true);

    setFixedSize(aPixeles(this, disposicion::kAreaCliente).size());
    for (const disposicion::Lugar &lugar : disposicion::kLugares)
        findChild<QWidget *>(QLatin1String(lugar.control))->setGeometry(aPixeles(this, lugar.twips));
}

void Form1::conectarEventos()
{
    // Every handler is entered through the failure boundary.
    auto entrada = [this](void (Form1::*handler)()) {
        return [this, handler] { protegido([this, handler] { (this->*handler)(); }); };
    };
    connect(Timer1, &QTimer::timeout, this, entrada(&Form1::Timer1_Timer));
    connect(CmdConectar, &QPushButton::clicked, this, entrada(&Form1::CmdConectar_Click));
    connect(CmdDesconectar, &QPushButton::clicked, this, entrada(&Form1::CmdDesconectar_Click));
    connect(CmdEnviar, &QPushButton::clicked, this, entrada(&Form1::CmdEnviar_Click));
    connect(Command1, &QPushButton::clicked, this, entrada(&Form1::Command1_Click));
    m_avisoPendiente = new QTimer(this);
    m_avisoPendiente->setSingleShot(true);
    m_avisoPendiente->setInterval(kAvisoCadaMs);
    connect(m_avisoPendiente, &QTimer::timeout, this, entrada(&Form1::AvisoPendiente_Timer));
    m_esperaDelDisco = new QTimer(this);
    m_esperaDelDisco->setInterval(kEsperaDelDiscoMs);
    connect(m_esperaDelDisco, &QTimer::timeout, this, entrada(&Form1::EsperaDelDisco_Timer));
    connect(WSCRecibe, &connections::SocketArray::ConnectionRequest, this,
            [this](int index, qint32 requestID) { protegido([&] { WSCRecibe_ConnectionRequest(index, requestID); }); });
    connect(WSCRecibe, &connections::SocketArray::DataArrival, this,
            [this](int index, qint32 bytesTotal) { protegido([&] { WSCRecibe_DataArrival(index, bytesTotal); }); });
    TxtMensaje->installEventFilter(this);
}

// Key presses of the message box reach its handler as a character code, then
// the box handles the key in its ordinary way.
bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == TxtIp && event->type() == QEvent::KeyPress)
        return ListaDeCopias_Tecla(static_cast<QKeyEvent *>(event)) || QWidget::eventFilter(watched, event);
    if (m_listaDeCopias && watched == m_listaDeCopias->popup()
        && (event->type() == QEvent::Show || event->type() == QEvent::Hide))
        ListaDeCopias_Visible(event->type() == QEvent::Show);
    if (watched == TxtMensaje && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        short keyAscii = 0;
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
            // With Ctrl held, Enter is a line feed, which sends nothing.
            keyAscii = (key->modifiers() & Qt::ControlModifier) ? 10 : 13;
        else if (!key->text().isEmpty())
            keyAscii = static_cast<short>(key->text().at(0).unicode());
        if (keyAscii != 0)
            protegido([&] { TxtMensaje_KeyPress(keyAscii); });
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::Command1_Click() { m_cuadroInformativo(this, kTituloAcercaDe, kTextoAcercaDe); }

void Form1::protegido(const std::function<void()> &handler)
{
    try {
        handler();
    } catch (const connections::SocketError &error) {
        informarFallo(error.text());
    } catch (const std::bad_alloc &) {
        informarFallo(QStringLiteral("No hay memoria suficiente para completar la operación."));
    } catch (const std::exception &error) {
        informarFallo(QStringLiteral("Error inesperado: %1").arg(QString::fromLocal8Bit(error.what())));
    }
}

// One box, never modal, for every failure: the window keeps working while it
// is open, and failures that come in a burst add lines to it instead of
// piling up boxes.
void Form1::informarFallo(const QString &text)
{
    if (!m_cuadroFallo) {
        m_cuadroFallo
            = new QMessageBox(QMessageBox::Warning, QStringLiteral("Varlo-Zintabel"), QString(), QMessageBox::Ok, this);
        m_cuadroFallo->setObjectName(QStringLiteral("CuadroFallo"));
        m_cuadroFallo->setWindowModality(Qt::NonModal);
    }
    // Lines gather while the box is open, or while the window is not shown yet.
    QStringList lines;
    if (m_cuadroFallo->isVisible() || !isVisible())
        lines = m_cuadroFallo->text().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    lines.append(text);
    while (lines.size() > kLineasDeFallo)
        lines.removeFirst();
    m_cuadroFallo->setText(lines.join(QLatin1Char('\n')));
    // A failure at start-up is shown once the window is, so that the box
    // appears above it rather than before it.
    auto showBox = [box = m_cuadroFallo] {
        box->show();
        box->raise();
    };
    if (isVisible())
        showBox();
    else
        QMetaObject::invokeMethod(m_cuadroFallo, showBox, Qt::QueuedConnection);
}
