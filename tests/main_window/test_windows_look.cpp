// The Windows program's look, under Windows' own platform plugin: one sans
// serif font for everything it shows, at the sizes Windows gives each kind,
// and a frame that does not let the window be resized or maximized.

#include "startup_platform.h"
#include "support/window.h"

#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QToolTip>

#include <windows.h>

class TestWindowsLook : public support::WindowTestCase {
    Q_OBJECT
private slots:
    void everythingShownIsInTheProgramsFont();
    void theWindowCannotBeResized();
};

namespace {

QString familyOf(const QWidget &widget) { return QFontInfo(widget.font()).family(); }

} // namespace

void TestWindowsLook::everythingShownIsInTheProgramsFont()
{
    const qreal menuSize = QApplication::font("QMenu").pointSizeF();
    const qreal tipSize = QToolTip::font().pointSizeF();
    startup_platform::cargarFuentesPropias();

    QMenu menu; // as the transcript's context menu
    menu.addAction(QStringLiteral("&Copiar"));
    QMessageBox about(QMessageBox::Information, QStringLiteral("Acerca de"), QStringLiteral("Varlo-Zintabel"),
                      QMessageBox::Ok);
    auto *label = about.findChild<QLabel *>(QStringLiteral("qt_msgbox_label"));
    QVERIFY(label);
    QLabel tip;
    tip.setFont(QToolTip::font());
    const QString expected = QStringLiteral("DejaVu Sans");
    QCOMPARE(familyOf(menu), expected);
    QCOMPARE(familyOf(*label), expected);
    QCOMPARE(familyOf(*about.button(QMessageBox::Ok)), expected);
    QCOMPARE(familyOf(tip), expected);
    QCOMPARE(QFontInfo(QApplication::font()).family(), expected);
    QCOMPARE(menu.font().pointSizeF(), menuSize);
    QCOMPARE(QToolTip::font().pointSizeF(), tipSize);
}

// The window manager resizes a window by its frame; the program itself can
// still ask for any size, which Windows then bounds by the window's own.
void TestWindowsLook::theWindowCannotBeResized()
{
    Form1 form(m_lingering);
    startup_platform::enmarcarVentana(form);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const auto window = reinterpret_cast<HWND>(form.winId());
    const LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
    QVERIFY(!(style & WS_THICKFRAME));
    QVERIFY(!(style & WS_MAXIMIZEBOX));
    RECT frame;
    QVERIFY(GetWindowRect(window, &frame));
    const LRESULT corner = SendMessageW(window, WM_NCHITTEST, 0, MAKELPARAM(frame.right - 1, frame.bottom - 1));
    QVERIFY(corner != HTBOTTOMRIGHT && corner != HTRIGHT && corner != HTBOTTOM);

    const QSize size = form.size();
    SetWindowPos(window, nullptr, 0, 0, frame.right - frame.left + 200, frame.bottom - frame.top + 150,
                 SWP_NOMOVE | SWP_NOZORDER);
    QTest::qWait(100);
    QCOMPARE(form.size(), size);
}

QTEST_MAIN(TestWindowsLook)
#include "test_windows_look.moc"
