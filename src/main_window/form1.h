#pragma once

#include "connections/chat_port.h"
#include "messages/received_color.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QStringList>
#include <QWidget>

#include <array>
#include <functional>

class DesktopNotice;
class QCompleter;
class QKeyEvent;
class QModelIndex;
class QLineEdit;
class QMessageBox;
class QPushButton;
class QTimer;

namespace connections {
class LingeringConnections;
class SocketArray;
class SocketControl;
} // namespace connections

namespace discovery {
class DnsSd;
class FoundCopies;
} // namespace discovery

namespace rich_text {
class RichTextBox;
} // namespace rich_text

// Qt's own texts (the boxes' context menus, the message boxes' buttons) in
// Spanish, whatever the system's language. Call once the application object
// exists. Without the translation file it returns false and Qt's texts stay
// in English.
bool instalarTraduccionesDeQt();

// The program's one window: every control, the state the handlers share, and
// one handler per control event. The handlers are defined next to the
// subsystem they belong to: start-up here, the links in connections/, the
// transcript, sending and receiving in messages/.
class Form1 : public QWidget {
    Q_OBJECT
public:
    static constexpr int PuertoChat = connections::PuertoChat;
    static constexpr int NumeroSlots = 1000;
    static constexpr quint32 ColorRecibido = messages::ColorRecibido; // &HBBGGRR
    static const QString DireccionInicial;

    // A modal information box: parent, title, text. Replaceable so that tests
    // are not blocked by it.
    using CuadroInformativo = std::function<void(QWidget *, const QString &, const QString &)>;

    // `bindAddress` is where the sockets listen and connect from: any address
    // for the program, a loopback address of its own for each copy in tests.
    // The sockets hand the connections they let go of to `lingering`, which
    // must outlive the window.
    explicit Form1(connections::LingeringConnections &lingering, const QHostAddress &bindAddress = QHostAddress::Any,
                   QWidget *parent = nullptr);
    ~Form1() override;

    void setCuadroInformativo(CuadroInformativo box);

    // Asks the desktop for the user's attention (the taskbar entry, the
    // urgency hint) without taking the focus. Replaceable so that tests see
    // when it is asked.
    using AvisoDeAtencion = std::function<void(QWidget *)>;
    void setAvisoDeAtencion(AvisoDeAtencion aviso);
    // Shows a notification on the desktop (title, text; a new one, or the
    // last one told again in its place) without taking the focus.
    // Replaceable so that tests see what it shows.
    using AvisoDeMensaje = std::function<void(const QString &, const QString &, bool nuevo)>;
    void setAvisoDeMensaje(AvisoDeMensaje aviso);

    bool conexionIniciada() const { return ConexionIniciada; }
    static constexpr int kSilencioEntreRafagasMs = 5000; // the quiet spell that ends a burst of messages
    bool slotOcupado(int n) const;
    double posTexto() const { return PosTexto; }
    // The other copies found on the network, as the address box offers them.
    discovery::FoundCopies &copiasEncontradas() { return *m_copiasEncontradas; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    // Window and controls
    void crearControles();
    void nombrarControlesParaLectores();
    void colocarControles();
    void conectarEventos();
    void Command1_Click();

    // Where events enter the window: a handler that fails stops at the failing
    // step, the user is told once in Spanish, and the program goes on.
    void protegido(const std::function<void()> &handler);
    void informarFallo(const QString &text);

    // Start-up and status caption
    void Form_Load();
    void Timer1_Timer();
    void LimpiarSlots();
    void PonerTituloEstado(const QString &palabra);

    // Outgoing link
    void Conectar();
    void CmdConectar_Click();
    void CmdDesconectar_Click();

    // Incoming links
    void WSCRecibe_ConnectionRequest(int Index, qint32 requestID);
    int BuscarSlotLibre() const;
    void AvisarSlotsAgotados();

    // The other copies found on the network, in the address box's list
    void OfrecerCopiasEncontradas();
    bool ListaDeCopias_Tecla(const QKeyEvent *key);
    void MostrarListaDeCopias();
    void ListaDeCopias_Visible(bool visible);
    void ListaDeCopias_Elegida(const QModelIndex &index);
    void TxtIp_Change();
    void CopiasEncontradas_Cambio();

    // Transcript
    void AgregarEnviado(const QString &texto);
    void AgregarRecibido(const QString &texto);
    void CursorAlFinal();

    // Sending
    void EnviarMensaje();
    void CmdEnviar_Click();
    void TxtMensaje_KeyPress(short &KeyAscii);

    // Receiving
    void WSCRecibe_DataArrival(int Index, qint32 bytesTotal);
    // A message that arrives is told to screen readers, wherever the focus is.
    void AnunciarLlegada(const QString &recibido);
    // Messages that arrive while the window is not the active one ask for
    // attention once a burst, and a desktop notification tells the burst: a
    // new one for its first message, updated in place with how many came,
    // from whom, and the start of the latest. A burst ends after a quiet
    // spell, or once the window is active.
    void PedirAtencion(const QString &remitente, const QString &recibido);
    void AvisoPendiente_Timer();
    QString TituloDelAviso() const;
    static constexpr int kAvisoCadaMs = 1000; // a flood's notification is told again at most this often
    // Receiving waits while the transcript's file takes nothing more: a
    // disk behind with its writing, one that refuses to write, or no folder
    // for the file.
    void VigilarEspacio();
    void EsperaDelDisco_Timer();
    void DecirPorQueSeEspera();
    static constexpr int kEsperaDelDiscoMs = 100;
    void PausarLectura(bool pausar);

    QLineEdit *TxtMensaje = nullptr;
    QPushButton *CmdEnviar = nullptr;
    QLineEdit *TxtIp = nullptr;
    QPushButton *CmdConectar = nullptr;
    QPushButton *CmdDesconectar = nullptr;
    rich_text::RichTextBox *TxtTexto = nullptr;
    QPushButton *Command1 = nullptr;
    QTimer *Timer1 = nullptr;
    connections::SocketControl *WSCEnvia = nullptr;
    connections::SocketArray *WSCRecibe = nullptr;

    bool ConexionIniciada = false;
    std::array<bool, NumeroSlots + 1> SlotOcupado{}; // 1 to 1000; element 0 unused
    double PosTexto = 0;

    bool m_slotsAgotadosAvisado = false;
    CuadroInformativo m_cuadroInformativo;
    AvisoDeAtencion m_avisoDeAtencion;
    DesktopNotice *m_avisoDelEscritorio = nullptr;
    AvisoDeMensaje m_avisoDeMensaje;
    struct Rafaga {
        int mensajes = 0;
        QStringList remitentes; // in the order they came, each once
        QString ultimo;         // what the notification shows of the latest
        QElapsedTimer desde;    // since the latest
        bool porDecir = false;  // the notification does not show the latest yet
    };
    Rafaga m_rafaga;
    QTimer *m_avisoPendiente = nullptr;
    bool m_lecturaDetenida = false; // the file takes no more: the peers' bytes wait in the network
    enum class EsperaDicha { Ninguna, FaltaEspacio, OtroMotivo };
    EsperaDicha m_esperaDicha = EsperaDicha::Ninguna; // what the user was told of this wait
    QTimer *m_esperaDelDisco = nullptr;
    QMessageBox *m_cuadroFallo = nullptr;
    discovery::FoundCopies *m_copiasEncontradas = nullptr;
    QCompleter *m_listaDeCopias = nullptr;
    discovery::DnsSd *m_dnsSd = nullptr; // none while this copy does not listen
};
