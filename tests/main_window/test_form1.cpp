#include "support/accessibility.h"
#include "support/own_network.h"
#include "support/raw_peer.h"
#include "support/window.h"

#include "connections/lingering_connections.h"
#include "connections/socket_array.h"
#include "connections/socket_control.h"
#include "discovery/found_copies.h"
#include "rich_text/rich_text_box.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QClipboard>
#include <QCompleter>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

using namespace support;

namespace {

QString accessibleText(QWidget *widget, QAccessible::Text which)
{
    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(widget);
    return face ? face->text(which) : QString();
}

// The texts of the menu a right click opens on a control, without the
// accelerator ampersands and the shortcuts.
QStringList contextMenuTexts(QWidget *widget)
{
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(5, 5), widget->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(widget, &click);
    QMenu *menu = nullptr;
    if (!QTest::qWaitFor([&] { return (menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())); }, 2000))
        return {};
    QStringList texts;
    for (const QAction *action : menu->actions())
        texts << action->text().remove(QLatin1Char('&')).section(QLatin1Char('\t'), 0, 0);
    menu->close();
    return texts;
}

} // namespace

// The window as it opens, its caption, the about box, a taken port, its icon,
// the one-line input box, Qt's texts in Spanish and what a screen reader
// hears. The test runs in a network namespace of its own; each copy binds a
// loopback address there.
class TestForm1 : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void opensInItsInitialState();
    void controlsSitWhereTheLayoutPutsThem();
    void tabCyclesThroughTheControls();
    void captionFollowsTheSendingSocket();
    void aboutBoxShowsItsTwoLinesAndChangesNothing();
    void takenPortIsReportedAndTheWindowKeepsWorking();
    void shownWindowHasItsIcon();
    void inputBoxTakesNoLineBreak();
    void qtsOwnTextsAreSpanish();
    void screenReadersHearSpanishNames();
    void aBurstWhileAwayIsOneNotification();
    void everyMessageIsAnnouncedOnceInOrder();
    void addressBoxOffersTheCopiesFound();

private:
    // Outlives every window and socket a test makes: they hand it their connections.
    connections::LingeringConnections m_lingering;
};

// Qt's texts in Spanish, as the program has them.
void TestForm1::initTestCase()
{
    QVERIFY2(inOwnNetwork(), kOwnNetworkAdvice);
    QVERIFY(instalarTraduccionesDeQt());
}

void TestForm1::opensInItsInitialState()
{
    Form1 form(m_lingering, address("127.0.0.2"));
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));

    for (int n = 1; n <= Form1::NumeroSlots; ++n)
        QVERIFY2(!form.slotOcupado(n), qPrintable(QString::number(n)));
    QCOMPARE(form.posTexto(), 0.0);
    QVERIFY(!form.conexionIniciada());
    QCOMPARE(recibe(form)(0).State(), int(connections::Listening));
    QCOMPARE(recibe(form)(0).LocalPort(), Form1::PuertoChat);
    QCOMPARE(form.windowTitle(), caption(QStringLiteral("127.0.0.2"), "Desconectado"));

    QCOMPARE(lineEdit(form, "TxtIp")->text(), QStringLiteral("127.0.0.1"));
    QVERIFY(lineEdit(form, "TxtIp")->isEnabled());
    QVERIFY(lineEdit(form, "TxtMensaje")->text().isEmpty());
    QCOMPARE(button(form, "CmdEnviar")->text(), QStringLiteral("Enviar"));
    QCOMPARE(button(form, "CmdConectar")->text(), QStringLiteral("Conectar"));
    QCOMPARE(button(form, "CmdDesconectar")->text(), QStringLiteral("Desconectar"));
    QCOMPARE(button(form, "Command1")->text(), QStringLiteral("?"));
    QVERIFY(button(form, "CmdConectar")->isEnabled());
    QVERIFY(!button(form, "CmdDesconectar")->isEnabled());
    QCOMPARE(form.focusWidget(), lineEdit(form, "TxtMensaje"));

    // On every tick of the caption timer the caption is written again, still
    // disconnected.
    QSignalSpy ticks(&captionTimer(form), &QTimer::timeout);
    form.setWindowTitle(QStringLiteral("(sin título)"));
    QVERIFY(ticks.wait(1000));
    QCOMPARE(form.windowTitle(), caption(QStringLiteral("127.0.0.2"), "Desconectado"));
}

void TestForm1::controlsSitWhereTheLayoutPutsThem()
{
    Form1 form(m_lingering, address("127.0.0.2"));
    const double px = form.logicalDpiX() / 1440.0;
    const double py = form.logicalDpiY() / 1440.0;
    auto expected = [&](int l, int t, int w, int h) {
        return QRect(qRound(l * px), qRound(t * py), qRound(w * px), qRound(h * py));
    };
    struct Place {
        const char *name;
        QRect rect;
    };
    const Place places[] = {
        {"TxtMensaje", expected(240, 5160, 3975, 495)},     {"CmdEnviar", expected(4320, 5160, 1215, 495)},
        {"TxtIp", expected(240, 120, 2415, 285)},           {"CmdConectar", expected(2760, 120, 1095, 375)},
        {"CmdDesconectar", expected(3960, 120, 1095, 375)}, {"TxtTexto", expected(240, 600, 5295, 4455)},
        {"Command1", expected(5160, 120, 375, 375)},
    };
    for (const Place &place : places) {
        auto *widget = form.findChild<QWidget *>(QLatin1String(place.name));
        QVERIFY2(widget, place.name);
        QCOMPARE(widget->geometry(), place.rect);
    }
    QCOMPARE(form.size(), expected(0, 0, 5775, 5865).size());
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QCOMPARE(form.palette().color(QPalette::Window), QColor(0x80, 0x80, 0x80));
}

void TestForm1::tabCyclesThroughTheControls()
{
    Form1 form(m_lingering, address("127.0.0.2"));
    form.show();
    QApplication::setActiveWindow(&form);
    QVERIFY(QTest::qWaitForWindowActive(&form));

    auto walk = [&form](int steps) {
        QStringList names{focusedControl(form)};
        for (int i = 0; i < steps; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            names << focusedControl(form);
        }
        return names;
    };
    // With "Desconectar" disabled, Tab passes over it.
    QCOMPARE(walk(6),
             QStringList({"TxtMensaje", "CmdEnviar", "TxtIp", "CmdConectar", "TxtTexto", "Command1", "TxtMensaje"}));
    button(form, "CmdDesconectar")->setEnabled(true);
    QCOMPARE(walk(7),
             QStringList({"TxtMensaje", "CmdEnviar", "TxtIp", "CmdConectar", "CmdDesconectar", "TxtTexto", "Command1",
                          "TxtMensaje"}));
}

void TestForm1::captionFollowsTheSendingSocket()
{
    QTcpServer peer;
    QVERIFY(peer.listen(address("127.0.0.3"), Form1::PuertoChat));
    Form1 form(m_lingering, address("127.0.0.2"));
    form.show();

    connectTo(form, QStringLiteral("127.0.0.3"));
    QTRY_COMPARE_WITH_TIMEOUT(form.windowTitle(), caption(QStringLiteral("127.0.0.2"), "Conectado"), 1000);

    QTRY_VERIFY(peer.hasPendingConnections());
    QTcpSocket *accepted = peer.nextPendingConnection();
    accepted->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(form.windowTitle(), caption(QStringLiteral("127.0.0.2"), "Desconectado"), 1000);
}

void TestForm1::aboutBoxShowsItsTwoLinesAndChangesNothing()
{
    Form1 form(m_lingering, address("127.0.0.2"));
    QStringList shown;
    form.setCuadroInformativo(
        [&shown](QWidget *, const QString &title, const QString &text) { shown << title << text; });
    const QString captionBefore = form.windowTitle();

    QTest::mouseClick(button(form, "Command1"), Qt::LeftButton);

    QCOMPARE(shown,
             QStringList({QStringLiteral("Que hace... VarloZintabel"),
                          QStringLiteral("Recibe mensajes de múltiples fuentes\r\n"
                                         "Envia mensajes a un único destinatario")}));
    QCOMPARE(form.windowTitle(), captionBefore);
    QCOMPARE(lineEdit(form, "TxtIp")->text(), QStringLiteral("127.0.0.1"));

    // From the keyboard too: Enter on the focused button.
    button(form, "Command1")->setFocus();
    QTest::keyClick(button(form, "Command1"), Qt::Key_Return);
    QCOMPARE(shown.size(), 4);
    QVERIFY(!form.conexionIniciada());
    QVERIFY(!button(form, "CmdDesconectar")->isEnabled());
}

void TestForm1::takenPortIsReportedAndTheWindowKeepsWorking()
{
    const QHostAddress self = address("127.0.0.2");
    QTcpServer squatter;
    QVERIFY(squatter.listen(self, Form1::PuertoChat));
    QTcpServer peer;
    QVERIFY(peer.listen(address("127.0.0.3"), Form1::PuertoChat));

    Form1 form(m_lingering, self);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));

    QMessageBox *box = nullptr;
    QTRY_VERIFY((box = form.findChild<QMessageBox *>(QStringLiteral("CuadroFallo"))) && box->isVisible());
    QVERIFY2(box->text().contains(QStringLiteral("49577")), qPrintable(box->text()));
    QVERIFY2(box->text().contains(QStringLiteral("en uso")), qPrintable(box->text()));
    QVERIFY(box->windowModality() == Qt::NonModal);
    QVERIFY(recibe(form)(0).State() != connections::Listening);

    // The caption logic and the outgoing link still work.
    QTRY_COMPARE_WITH_TIMEOUT(form.windowTitle(), caption(QStringLiteral("127.0.0.2"), "Desconectado"), 1000);
    connectTo(form, QStringLiteral("127.0.0.3"));
    QTRY_COMPARE_WITH_TIMEOUT(form.windowTitle(), caption(QStringLiteral("127.0.0.2"), "Conectado"), 1000);
}

void TestForm1::shownWindowHasItsIcon()
{
    Form1 form(m_lingering, address("127.0.0.2"));
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));

    // The icon the window system is given for the shown window.
    const QIcon icon = form.windowHandle()->icon();
    QVERIFY(!icon.isNull());
    QVERIFY(icon.availableSizes().contains(QSize(48, 48)));
    QCOMPARE(icon.pixmap(QSize(48, 48)).size(), QSize(48, 48));
}

void TestForm1::inputBoxTakesNoLineBreak()
{
    Form1 form(m_lingering, address("127.0.0.2"));
    form.show();
    QLineEdit *box = lineEdit(form, "TxtMensaje");

    // Pasted: what precedes the first line break goes in where the caret is.
    QTest::keyClicks(box, QStringLiteral("[]"));
    QTest::keyClick(box, Qt::Key_Left);
    QGuiApplication::clipboard()->setText(QStringLiteral("uno\r\ndos\ntres"));
    QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(box->text(), QStringLiteral("[uno]"));
    QCOMPARE(box->cursorPosition(), 4);

    // Dropped likewise; the drag enters the box first, as a real one does.
    box->clear();
    QMimeData dragged;
    dragged.setText(QStringLiteral("cinco\nseis"));
    const QPoint inside(box->width() / 2, box->height() / 2);
    QDragEnterEvent enter(inside, Qt::CopyAction, &dragged, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(box, &enter);
    QDropEvent drop(inside, Qt::CopyAction, &dragged, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(box, &drop);
    QCOMPARE(box->text(), QStringLiteral("cinco"));

    // Inserted in the middle through the accessibility interface (screen
    // readers, on-screen keyboards, dictation) or set whole: the text after
    // the insertion stays.
    QAccessibleEditableTextInterface *editable = QAccessible::queryAccessibleInterface(box)->editableTextInterface();
    QVERIFY(editable);
    box->setText(QStringLiteral("Hola mundo"));
    editable->insertText(4, QStringLiteral(", amigo\r\nmas"));
    QCOMPARE(box->text(), QStringLiteral("Hola, amigo mundo"));
    box->setText(QStringLiteral("Hola mundo"));
    editable->replaceText(0, 4, QStringLiteral("Adios\ny"));
    QCOMPARE(box->text(), QStringLiteral("Adios mundo"));
    box->setText(QStringLiteral("cinco\nseis"));
    QCOMPARE(box->text(), QStringLiteral("cinco"));

    // Ctrl+Enter is a line feed: it does not send (no link here, so a send
    // would leave the warning) and the box takes nothing in.
    QTest::keyClick(box, Qt::Key_Return, Qt::ControlModifier);
    QTest::keyClick(box, Qt::Key_Enter, Qt::ControlModifier | Qt::KeypadModifier);
    QCOMPARE(box->text(), QStringLiteral("cinco"));
    QTest::keyClick(box, Qt::Key_Return);
    QCOMPARE(box->text(), QStringLiteral("NO ESTAS CONECTADO"));
}

void TestForm1::qtsOwnTextsAreSpanish()
{
    Form1 form(m_lingering, address("127.0.0.2"));
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QLineEdit *box = lineEdit(form, "TxtMensaje");
    box->setText(QStringLiteral("hola"));
    box->selectAll();

    const QStringList menu = contextMenuTexts(box);
    QVERIFY2(menu.contains(QStringLiteral("Copiar")) && menu.contains(QStringLiteral("Pegar")),
             qPrintable(menu.join(QStringLiteral(", "))));

    // The about box as the window shows it, closed as soon as it is up.
    QString okText;
    QTimer closer;
    connect(&closer, &QTimer::timeout, [&] {
        if (auto *about = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            okText = about->button(QMessageBox::Ok)->text();
            about->accept();
        }
    });
    closer.start(10);
    QTest::mouseClick(button(form, "Command1"), Qt::LeftButton);
    closer.stop();
    QCOMPARE(okText.remove(QLatin1Char('&')), QStringLiteral("Aceptar"));
}

void TestForm1::screenReadersHearSpanishNames()
{
    Form1 form(m_lingering, address("127.0.0.2"));

    const std::pair<const char *, const char *> names[] = {
        {"TxtMensaje", "Mensaje"},   {"CmdEnviar", "Enviar"},           {"TxtIp", "Dirección del otro equipo"},
        {"CmdConectar", "Conectar"}, {"CmdDesconectar", "Desconectar"}, {"TxtTexto", "Conversación"},
        {"Command1", "Acerca de"},
    };
    for (const auto &[control, name] : names) {
        auto *widget = form.findChild<QWidget *>(QLatin1String(control));
        QCOMPARE(accessibleText(widget, QAccessible::Name), QString::fromUtf8(name));
    }
    for (const char *control : {"TxtIp", "TxtTexto", "Command1"})
        QVERIFY2(!accessibleText(form.findChild<QWidget *>(QLatin1String(control)), QAccessible::Description).isEmpty(),
                 control);

    // The window is a frame named by its caption.
    QAccessibleInterface *window = QAccessible::queryAccessibleInterface(&form);
    QCOMPARE(window->role(), QAccessible::Window);
    QCOMPARE(window->text(QAccessible::Name), form.windowTitle());

    // What is announced when the transcript takes the focus.
    transcript(form).setFocus();
    QCOMPARE(accessibleText(form.focusWidget(), QAccessible::Name), QStringLiteral("Conversación"));
}

// Messages that arrive while another window is active take nothing from it:
// each burst asks once for attention and is told by one desktop
// notification, updated in place (at most once a second) with how many came,
// from whom, and the start of the latest; after a quiet spell, or once the
// chat window has been active, the next message starts a new burst.
void TestForm1::aBurstWhileAwayIsOneNotification()
{
    Form1 form(m_lingering, address("127.0.0.2"));
    QList<QWidget *> asked;
    form.setAvisoDeAtencion([&](QWidget *window) { asked << window; });
    QStringList notices;
    form.setAvisoDeMensaje([&](const QString &title, const QString &text, bool fresh) {
        notices << (fresh ? u"nueva: "_qs : u"en su lugar: "_qs) + title + u" | "_qs + text;
    });
    form.show();
    QWidget other;
    other.setGeometry(400, 0, 200, 100);
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));

    RawPeer peer("127.0.0.3", "127.0.0.2");
    RawPeer second("127.0.0.4", "127.0.0.2");
    QVERIFY(peer.connected() && second.connected());
    QVERIFY(peer.send("uno"));
    QTRY_COMPARE(entries(form).size(), 1);
    QVERIFY(second.send("dos"));
    QTRY_COMPARE(entries(form).size(), 2);
    for (int i = 0; i < 50; ++i) {
        QVERIFY(peer.send(QByteArray("tres ") + QByteArray::number(i)));
        QTest::qWait(2);
    }
    QTRY_COMPARE(entries(form).size(), 52);
    QTRY_VERIFY(notices.last().endsWith(u"tres 49"_qs));
    QCOMPARE(asked, QList<QWidget *>{&form});
    QCOMPARE(QApplication::activeWindow(), &other);
    QCOMPARE(notices.first(), u"nueva: Mensaje de 127.0.0.3 | uno"_qs);
    QCOMPARE(notices.last(), u"en su lugar: 52 mensajes de 127.0.0.3 y 127.0.0.4 | tres 49"_qs);
    QVERIFY2(notices.size() <= 4, qPrintable(notices.join(u'\n'))); // a flood is not a flood of notifications

    // After a quiet spell, a new burst.
    QTest::qWait(Form1::kSilencioEntreRafagasMs + 200);
    notices.clear();
    QVERIFY(peer.send("cuatro"));
    QTRY_COMPARE(notices, QStringList{u"nueva: Mensaje de 127.0.0.3 | cuatro"_qs});
    QCOMPARE(asked.size(), 2);

    // The window active: nothing to tell; away again, a new burst at once.
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QVERIFY(peer.send("cinco"));
    QTRY_COMPARE(entries(form).size(), 54);
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QVERIFY(peer.send(QByteArray(300, 'x') + "\r\nsegunda"));
    QTRY_COMPARE(notices.size(), 2);
    // Only the start of a long message, up to its first line break.
    QCOMPARE(notices.last(), u"nueva: Mensaje de 127.0.0.3 | "_qs + QString(200, u'x') + u'…');
    QCOMPARE(asked.size(), 3);
}

// Wherever the focus is in the window, and however close together they come
// (1, 5, 30 ms apart, many in one read, from two peers in turn), each entry
// that arrives is announced once, in order, and nothing else tells it again:
// no selection or caret event comes with it.
void TestForm1::everyMessageIsAnnouncedOnceInOrder()
{
    support::AccessibilityEvents events;
    Form1 form(m_lingering, address("127.0.0.2"));
    form.show();
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    RawPeer a("127.0.0.3", "127.0.0.2");
    RawPeer b("127.0.0.4", "127.0.0.2");
    QVERIFY(a.connected() && b.connected());
    QTRY_VERIFY(form.slotOcupado(2));
    rich_text::RichTextBox &box = transcript(form);
    for (QWidget *focus : {static_cast<QWidget *>(lineEdit(form, "TxtMensaje")), static_cast<QWidget *>(&box)}) {
        focus->setFocus();
        QTRY_VERIFY(focus->hasFocus());
        const int before = entries(form).size();
        events.clear();
        for (const int ms : {1, 5, 30}) {
            QVERIFY(a.send(QByteArray::number(ms) + " ms, uno"));
            QTest::qWait(ms);
            QVERIFY(a.send(QByteArray::number(ms) + " ms, dos"));
            QTest::qWait(50);
        }
        QVERIFY(a.send("tres en una lectura, uno dos tres"));
        QTest::qWait(50);
        for (const char *turn : {"A1", "B1", "A2", "B2"}) {
            QVERIFY((turn[0] == 'A' ? a : b).send(turn));
            QTest::qWait(1);
        }
        QTRY_VERIFY(entries(form).size() >= before + 11);
        QTest::qWait(100);
        QStringList announced;
        for (const auto &shown : events.of(QAccessible::ObjectShow, &box))
            announced += shown.text.split(u'\n');
        QCOMPARE(announced, entries(form).mid(before));
        QVERIFY(events.of(QAccessible::TextSelectionChanged, &box).empty());
        QVERIFY(events.of(QAccessible::TextCaretMoved, &box).empty());
    }
}

// The copies found on the network are a list the user opens from the address
// box: typing is as before, only a row chosen fills in its address, and
// nothing the network says changes the box or moves the open list.
void TestForm1::addressBoxOffersTheCopiesFound()
{
    Form1 form(m_lingering, address("127.0.0.2"));
    form.show();
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QLineEdit *ip = lineEdit(form, "TxtIp");
    QAbstractItemView *list = form.findChild<QCompleter *>(QStringLiteral("ListaDeCopias"))->popup();
    const QString sinCopias = ip->accessibleDescription();
    ip->setFocus();

    // Nothing found: Down opens nothing.
    QTest::keyClick(ip, Qt::Key_Down);
    QVERIFY(!list->isVisible());

    discovery::FoundCopies &found = form.copiasEncontradas();
    found.seen("1/0/beta", "beta", QStringLiteral("10.0.0.7"));
    found.seen("1/0/alfa", "alfa", QStringLiteral("10.0.0.5"));
    found.publishNow();
    QCOMPARE(ip->text(), QStringLiteral("127.0.0.1"));
    QVERIFY(ip->accessibleDescription().startsWith(sinCopias + u'.'));

    // Typing opens no list.
    ip->selectAll();
    QTest::keyClicks(ip, QStringLiteral("10.0"));
    QVERIFY(!list->isVisible());
    QCOMPARE(ip->text(), QStringLiteral("10.0"));

    // Down opens every row, read by a screen reader as it shows.
    QTest::keyClick(ip, Qt::Key_Down);
    QTRY_VERIFY(list->isVisible());
    QCOMPARE(list->model()->rowCount(), 2);
    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(list);
    QStringList heard;
    for (int i = 0; i < face->childCount(); ++i)
        heard << face->child(i)->text(QAccessible::Name);
    QVERIFY2(heard.contains(QStringLiteral("alfa — 10.0.0.5")) && heard.contains(QStringLiteral("beta — 10.0.0.7")),
             qPrintable(heard.join(u'|')));

    // Moving through it, and the network meanwhile, leave the box alone and
    // the list still.
    QTest::keyClick(list, Qt::Key_Down);
    QTest::keyClick(list, Qt::Key_Down);
    found.seen("1/0/gamma", "gamma", QStringLiteral("10.0.0.9"));
    found.gone("1/0/alfa");
    found.publishNow();
    QCOMPARE(list->model()->rowCount(), 2);
    QCOMPARE(list->currentIndex().data().toString(), QStringLiteral("beta — 10.0.0.7"));
    QCOMPARE(ip->text(), QStringLiteral("10.0"));

    // Enter chooses: the address alone fills the box. Then the list shows
    // what came and went.
    QTest::keyClick(list, Qt::Key_Return);
    QTRY_VERIFY(!list->isVisible());
    QCOMPARE(ip->text(), QStringLiteral("10.0.0.7"));
    QTRY_COMPARE(found.index(0).data().toString(), QStringLiteral("beta — 10.0.0.7"));
    QCOMPARE(found.index(1).data().toString(), QStringLiteral("gamma — 10.0.0.9"));

    // Escape chooses nothing.
    QTest::keyClick(ip, Qt::Key_Down, Qt::AltModifier);
    QTRY_VERIFY(list->isVisible());
    QTest::keyClick(list, Qt::Key_Down);
    QTest::keyClick(list, Qt::Key_Escape);
    QTRY_VERIFY(!list->isVisible());
    QCOMPARE(ip->text(), QStringLiteral("10.0.0.7"));

    // The list is as wide as a long row needs, within the window: the box
    // alone would hide the address.
    const QString largo = QStringLiteral("sala-de-reuniones-del-segundo-piso — 10.0.0.250");
    found.seen("1/0/largo", largo.section(u' ', 0, 0).toUtf8(), QStringLiteral("10.0.0.250"));
    QTRY_COMPARE(found.rowCount(), 3);
    QTest::keyClick(ip, Qt::Key_F4);
    QTRY_VERIFY(list->isVisible());
    QVERIFY(list->viewport()->width() >= list->fontMetrics().horizontalAdvance(largo));
    QVERIFY(list->width() <= form.width());
    QTest::keyClick(list, Qt::Key_Escape);

    found.forgetAll();
    found.publishNow();
    QTRY_COMPARE(ip->accessibleDescription(), sinCopias);
}

QTEST_MAIN(TestForm1)
#include "test_form1.moc"
