#include "startup_platform.h"

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QDir>
#include <QFont>
#include <QFontDatabase>
#include <QWidget>

#include <algorithm>

#include <windows.h>

namespace startup_platform {

// A Windows desktop is always there to open the window on.
bool puedeAbrirVentana(int, char **) { return true; }

// Windows has neither DejaVu Sans, the window's plain sans-serif font, nor
// FreeFont's pictures of control characters, so the program carries both in
// its fonts folder. Asked for "sans-serif", Qt then finds DejaVu Sans, and
// FreeSans for the characters DejaVu Sans lacks, as fontconfig does on Linux.
void cargarFuentesPropias()
{
    const QDir fonts(QCoreApplication::applicationDirPath() + QStringLiteral("/fonts"));
    QStringList families;
    for (const QString &file : fonts.entryList({QStringLiteral("*.ttf")}, QDir::Files, QDir::Name)) {
        const int id = QFontDatabase::addApplicationFont(fonts.filePath(file));
        for (const QString &family : QFontDatabase::applicationFontFamilies(id)) {
            if (!families.contains(family))
                families.append(family);
        }
    }
    // DejaVu Sans first, the stand-ins' font after it.
    std::sort(families.begin(), families.end(), [](const QString &a, const QString &b) {
        return a.startsWith(QLatin1String("DejaVu")) > b.startsWith(QLatin1String("DejaVu"));
    });
    if (families.isEmpty())
        return;
    QFont::insertSubstitutions(QStringLiteral("sans-serif"), families);
    // Windows gives menus, message boxes and tips fonts of their own, its
    // interface font, which not every system has (Wine draws a serif in its
    // place): the same sans serif as the window's, at the sizes Windows
    // gives them.
    for (const char *kind : {static_cast<const char *>(nullptr), "QMenu", "QMenuBar", "QMessageBox", "QMessageBoxLabel",
                             "QToolTip", "QLabel", "QPushButton"}) {
        QFont font = QApplication::font(kind);
        font.setFamilies(families);
        QApplication::setFont(font, kind);
    }
}

namespace {

// Keeps a window of fixed size at that size whoever asks to resize it: any
// program may resize any window on Windows, and Wine passes on the resizes
// of an X11 window manager or tool; the area beyond the layout would stay
// unpainted. Owned by the window, a child of it.
class TamanoFijo : public QObject, public QAbstractNativeEventFilter {
public:
    explicit TamanoFijo(QWidget &ventana)
        : QObject(&ventana)
        , m_ventana(ventana)
    {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~TamanoFijo() override { QCoreApplication::instance()->removeNativeEventFilter(this); }

    bool nativeEventFilter(const QByteArray &, void *message, qintptr *) override
    {
        const auto *msg = static_cast<const MSG *>(message);
        if (msg->message != WM_WINDOWPOSCHANGING || m_ventana.internalWinId() == 0
            || msg->hwnd != reinterpret_cast<HWND>(m_ventana.internalWinId())
            || m_ventana.minimumSize() != m_ventana.maximumSize())
            return false;
        auto *pos = reinterpret_cast<WINDOWPOS *>(msg->lParam);
        if (pos->flags & SWP_NOSIZE)
            return false;
        // The frame around the fixed client area, in the screen's pixels.
        const QSize client = m_ventana.minimumSize() * m_ventana.devicePixelRatioF();
        RECT frame{0, 0, client.width(), client.height()};
        AdjustWindowRectEx(&frame, DWORD(GetWindowLongPtrW(msg->hwnd, GWL_STYLE)), FALSE,
                           DWORD(GetWindowLongPtrW(msg->hwnd, GWL_EXSTYLE)));
        pos->cx = frame.right - frame.left;
        pos->cy = frame.bottom - frame.top;
        return false; // Qt goes on with the size corrected
    }

private:
    QWidget &m_ventana;
};

} // namespace

// Windows (and Wine) lets a window be resized and maximized by its frame
// unless it says otherwise; the size hints that fix it on X11 do not.
void enmarcarVentana(QWidget &ventana)
{
    ventana.setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                           | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    new TamanoFijo(ventana);
}

} // namespace startup_platform
