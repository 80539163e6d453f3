// The other copies found on the network, offered in the address box's
// drop-down list.
#include "discovery/dns_sd.h"
#include "discovery/found_copies.h"
#include "main_window/form1.h"

#include "connections/socket_array.h"
#include "connections/socket_control.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScrollBar>
#include <QSysInfo>

#include <algorithm>

namespace {

const QString kDescripcionSinCopias = QStringLiteral("Dirección IP o nombre del equipo con el que conectar");
const QString kDescripcionConCopias = QStringLiteral("Dirección IP o nombre del equipo con el que conectar. "
                                                     "Flecha abajo muestra las copias encontradas en la red");

bool abreLaLista(const QKeyEvent *key)
{
    const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
    return (key->key() == Qt::Key_Down && (mods == Qt::NoModifier || mods == Qt::AltModifier))
        || (key->key() == Qt::Key_F4 && mods == Qt::NoModifier);
}

} // namespace

// The list is not the box's completer: the box neither opens it nor fills
// itself in while the user types or moves through it. Only a row chosen
// (Enter, or a click) fills in its address; nothing the network says ever
// does.
void Form1::OfrecerCopiasEncontradas()
{
    m_copiasEncontradas = new discovery::FoundCopies(this);
    m_listaDeCopias = new QCompleter(m_copiasEncontradas, this);
    m_listaDeCopias->setObjectName(QStringLiteral("ListaDeCopias"));
    m_listaDeCopias->setWidget(TxtIp);
    m_listaDeCopias->setCompletionMode(QCompleter::PopupCompletion);
    m_listaDeCopias->setFilterMode(Qt::MatchContains);
    m_listaDeCopias->setCaseSensitivity(Qt::CaseInsensitive);
    m_listaDeCopias->popup()->setAccessibleName(QStringLiteral("Copias encontradas en la red"));
    // A long name gives up its middle, so that the address stays in sight.
    m_listaDeCopias->popup()->setTextElideMode(Qt::ElideMiddle);
    m_listaDeCopias->popup()->installEventFilter(this);
    TxtIp->installEventFilter(this);
    connect(m_listaDeCopias, qOverload<const QModelIndex &>(&QCompleter::activated), this,
            [this](const QModelIndex &index) { protegido([&] { ListaDeCopias_Elegida(index); }); });
    connect(TxtIp, &QLineEdit::textEdited, this, [this] { protegido([this] { TxtIp_Change(); }); });
    connect(m_copiasEncontradas, &QAbstractItemModel::modelReset, this,
            [this] { protegido([this] { CopiasEncontradas_Cambio(); }); });
    // Announced only once this copy listens: otherwise the chat's port is
    // another program's.
    if ((*WSCRecibe)(0).State() == connections::Listening)
        m_dnsSd = new discovery::DnsSd(*m_copiasEncontradas, QSysInfo::machineHostName(), PuertoChat, this);
}

bool Form1::ListaDeCopias_Tecla(const QKeyEvent *key)
{
    if (!abreLaLista(key) || !TxtIp->isEnabled() || m_copiasEncontradas->rowCount() == 0)
        return false;
    m_listaDeCopias->setCompletionPrefix(QString());
    MostrarListaDeCopias();
    return true;
}

// The list opens under the box, as wide as its rows need: the box is too
// narrow for "nombre — 10.0.0.5". It stays within the window's width.
void Form1::MostrarListaDeCopias()
{
    QAbstractItemView *lista = m_listaDeCopias->popup();
    const int needed
        = lista->sizeHintForColumn(0) + lista->verticalScrollBar()->sizeHint().width() + 2 * lista->frameRect().x() + 8;
    QRect under = TxtIp->rect();
    under.setWidth(std::clamp(needed, TxtIp->width(), width() - 2 * TxtIp->x()));
    m_listaDeCopias->complete(under);
}

// While the list is open it keeps still; what came and went meanwhile shows
// once it has closed. The list hides before it hands over the row chosen,
// so the rows change only after that, and not if it opened again at once.
void Form1::ListaDeCopias_Visible(bool visible)
{
    if (visible) {
        m_copiasEncontradas->hold(true);
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!m_listaDeCopias->popup()->isVisible())
                m_copiasEncontradas->hold(false);
        },
        Qt::QueuedConnection);
}

void Form1::ListaDeCopias_Elegida(const QModelIndex &index)
{
    const QString direccion = index.data(discovery::FoundCopies::AddressRole).toString();
    if (!direccion.isEmpty() && TxtIp->isEnabled())
        TxtIp->setText(direccion);
}

// Typing with the list open narrows it to the rows that hold what is typed.
void Form1::TxtIp_Change()
{
    if (!m_listaDeCopias->popup()->isVisible())
        return;
    m_listaDeCopias->setCompletionPrefix(TxtIp->text());
    MostrarListaDeCopias();
}

// A screen reader's user learns from the box's description that there is a
// list to open, while there is one.
void Form1::CopiasEncontradas_Cambio()
{
    TxtIp->setAccessibleDescription(m_copiasEncontradas->rowCount() > 0 ? kDescripcionConCopias
                                                                        : kDescripcionSinCopias);
}
