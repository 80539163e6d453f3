#include "support/accessibility.h"
#include "support/rich_text_access.h"
#include "support/transcript_writer.h"

#include "rich_text/accessible_rich_text_box.h"
#include "rich_text/clipboard_text.h"
#include "rich_text/rich_text_box.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTest>
#include <QTextLayout>

#include <set>

using rich_text::RichTextBox;
using rich_text::RichTextBoxTestAccess;
using Transcript = transcript::Writer<RichTextBox>;

namespace {

const QColor kBlue(85, 85, 255);

// The held blocks' text with Qt's line separators mapped back, joined like text().
QString shownText(RichTextBox &box)
{
    QStringList blocks;
    for (const RichTextBoxTestAccess::Held &h : rich_text::paintAndHeld(box))
        blocks << QString(h.text).replace(QChar::LineSeparator, u'\n');
    return blocks.join(u"\r\n");
}

bool showsColor(RichTextBox &box, const QColor &color)
{
    const QImage image = box.viewport()->grab().toImage();
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixelColor(x, y) == color)
                return true;
        }
    }
    return false;
}

} // namespace

class TestRichTextBox : public QObject {
    Q_OBJECT
private slots:
    void init();
    void updatesAreCoalescedAfterTheHandler();
    void showsColoursOfReceivedEntries();
    void everyCharacterKeepsItsPosition();
    void scrollsToTheEndWhenEntriesAreAdded();
    void onlyWhatIsOnScreenIsLaidOut();
    void aHiddenViewKeepsFewLayouts();
    void aHugeTokenWrapsAndShowsItsEnd();
    void everyLineOnScreenIsDrawnWhileScrolling();
    void linesEqualOneLayoutOfTheWhole();
    void longParagraphsArePiecedAtLineBreaks();
    void aPageIsWhatStandsOnScreen();
    void selectionIsPaintedOnlyWithFocus();
    void everyScriptIsDrawnWithItsGlyphs_data();
    void everyScriptIsDrawnWithItsGlyphs();
    void selectAllAndCopyGiveThePlainText();
    void colourIsReadAsBgr();
    void replacingTheDocumentReplacesTheView();
    void screenReadersReadWhatCopyGives();
    void accessibleLinesAreTheWrappedLines();
    void screenReadersAreToldWhatArrives();
    void aCaretReadsTheConversationLineByLine();

private:
    std::unique_ptr<QWidget> m_window;
    RichTextBox *m_box = nullptr;
    QLineEdit *m_input = nullptr;
};

void TestRichTextBox::init()
{
    // Like the chat window: the transcript next to an input line that has the focus.
    m_window = std::make_unique<QWidget>();
    m_window->resize(320, 200);
    m_input = new QLineEdit(m_window.get());
    m_input->setGeometry(0, 160, 300, 30);
    m_box = new RichTextBox(m_window.get());
    m_box->setGeometry(0, 0, 300, 120);
    QFont font(u"Sans Serif"_qs);
    font.setPointSizeF(9.75);
    m_box->setFont(font);
    m_box->setBackgroundColor(Qt::white);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    m_window->activateWindow();
    m_input->setFocus();
    QTRY_VERIFY(m_input->hasFocus());
}

void TestRichTextBox::updatesAreCoalescedAfterTheHandler()
{
    Transcript t(*m_box);
    QTRY_VERIFY(!m_box->updatePending());
    t.sent(u"hello"_qs);
    t.received(u"{world}"_qs);
    // Nothing is shown while the handler runs, not even the intermediate plain source.
    QVERIFY(m_box->updatePending());
    QVERIFY(!m_box->model().isLoaded() || m_box->model().document().paragraphCount() == 3);
    QTRY_VERIFY(!m_box->updatePending());
    QCOMPARE(m_box->text().toString(), u"\r\nhello\r\n{world}"_qs);
    QCOMPARE(shownText(*m_box), m_box->text().toString());
}

void TestRichTextBox::showsColoursOfReceivedEntries()
{
    Transcript t(*m_box);
    t.sent(u"mine"_qs);
    t.received(u"yours\nnext"_qs);
    QTRY_VERIFY(!m_box->updatePending());
    QCOMPARE(shownText(*m_box), u"\r\nmine\r\nyours\nnext"_qs);
    QCOMPARE(RichTextBoxTestAccess::colorShown(*m_box, 1, 0), m_box->palette().color(QPalette::Text));
    QCOMPARE(RichTextBoxTestAccess::colorShown(*m_box, 2, 0), kBlue);
    QCOMPARE(RichTextBoxTestAccess::colorShown(*m_box, 2, 9), kBlue);
    QVERIFY(showsColor(*m_box, kBlue));
}

// Characters that Qt takes as breaks or markers are shown as one-character
// look-alikes, so the view's positions stay the model's.
void TestRichTextBox::everyCharacterKeepsItsPosition()
{
    Transcript t(*m_box);
    t.received(u"uno\u2029dos\uFDD0tres\uFDD1"_qs);
    t.received(u"siguiente"_qs);
    QTRY_VERIFY(!m_box->updatePending());
    const auto held = rich_text::paintAndHeld(*m_box);
    QCOMPARE(held.size(), size_t(3));
    QCOMPARE(held[1].text, u"uno\u2028dos\uFFFDtres\uFFFD"_qs);
    QCOMPARE(held[2].text, u"siguiente"_qs);
}

void TestRichTextBox::scrollsToTheEndWhenEntriesAreAdded()
{
    Transcript t(*m_box);
    QScrollBar *bar = m_box->verticalScrollBar();
    for (int i = 0; i < 50; ++i) {
        t.sent(QStringLiteral("line %1").arg(i));
        QCoreApplication::processEvents();
    }
    QTRY_VERIFY(bar->maximum() > 0);
    QTRY_COMPARE(bar->value(), bar->maximum());
    QVERIFY(shownText(*m_box).endsWith(u"line 49"));
    bar->setValue(0);
    t.received(u"news"_qs);
    QTRY_COMPARE(bar->value(), bar->maximum());
    QVERIFY(shownText(*m_box).endsWith(u"news"));
}

// A long transcript costs the view what is on screen: scrolled to the top it
// shows the first entry, and it keeps layouts only for what it shows.
void TestRichTextBox::onlyWhatIsOnScreenIsLaidOut()
{
    Transcript t(*m_box);
    for (int i = 0; i < 100000; ++i)
        i % 2 ? t.received(QStringLiteral("recibido %1").arg(i)) : t.sent(QStringLiteral("enviado %1").arg(i));
    QTRY_VERIFY(!m_box->updatePending());
    QVERIFY(shownText(*m_box).endsWith(u"recibido 99999"));
    QVERIFY(rich_text::paintAndHeld(*m_box).size() < 20);
    // Appending laid out no more than a screenful, however many entries came.
    QVERIFY2(RichTextBoxTestAccess::charactersLaidOut(*m_box) < 2000,
             qPrintable(QString::number(RichTextBoxTestAccess::charactersLaidOut(*m_box))));

    QTest::keyClick(m_box, Qt::Key_Home, Qt::ControlModifier);
    const auto top = rich_text::paintAndHeld(*m_box);
    QVERIFY(top.size() < 20);
    QCOMPARE(top.front().paragraph, size_t(0));
    QCOMPARE(top[1].text, u"enviado 0"_qs);
    QCOMPARE(RichTextBoxTestAccess::colorShown(*m_box, 2, 0), kBlue);

    QTest::keyClick(m_box, Qt::Key_PageDown);
    QVERIFY(RichTextBoxTestAccess::topParagraph(*m_box) > 0);
    QTest::keyClick(m_box, Qt::Key_End, Qt::ControlModifier);
    QVERIFY(shownText(*m_box).endsWith(u"recibido 99999"));
}

// A window that is not painted (minimized) lays out the last page after each
// entry to scroll there, and still keeps no more layouts than two pages'
// worth; shown again, it paints the last entry.
void TestRichTextBox::aHiddenViewKeepsFewLayouts()
{
    m_window->hide();
    Transcript t(*m_box);
    size_t most = 0;
    for (int i = 0; i < 20000; ++i) {
        i % 2 ? t.received(QStringLiteral("recibido %1").arg(i)) : t.sent(QStringLiteral("enviado %1").arg(i));
        QCoreApplication::processEvents();
        most = std::max(most, RichTextBoxTestAccess::layoutsHeld(*m_box));
    }
    const int pageLines = m_box->viewport()->height() / m_box->fontMetrics().lineSpacing();
    const size_t bound = RichTextBoxTestAccess::layoutsBound(*m_box);
    QVERIFY2(bound <= size_t(2 * (pageLines + 2)), qPrintable(QString::number(bound)));
    QVERIFY2(most <= bound, qPrintable(QStringLiteral("%1 layouts held, bound %2").arg(most).arg(bound)));
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    QTRY_VERIFY(!m_box->updatePending());
    QVERIFY(shownText(*m_box).endsWith(u"recibido 19999"));
    QVERIFY(showsColor(*m_box, kBlue));
}

// A token with no break opportunity wraps anywhere; a huge one is laid out a
// piece at a time, so only the piece on screen costs anything.
void TestRichTextBox::aHugeTokenWrapsAndShowsItsEnd()
{
    Transcript t(*m_box);
    QString token(1000000, u'x');
    token += u"END"_qs;
    t.sent(token);
    QTRY_VERIFY(!m_box->updatePending());
    const auto held = rich_text::paintAndHeld(*m_box);
    qint64 laidOut = 0;
    for (const auto &h : held)
        laidOut += h.text.size();
    QVERIFY2(laidOut <= 2 * RichTextBox::kPiece, qPrintable(QString::number(laidOut)));
    QVERIFY(held.back().text.endsWith(u"xEND"));
    QVERIFY(m_box->verticalScrollBar()->maximum() > 0);
}

// Entries long enough to be laid out in several segments: at every step of a
// line-by-line scroll through them, each line the view says it shows has ink
// where it says.
void TestRichTextBox::everyLineOnScreenIsDrawnWhileScrolling()
{
    Transcript t(*m_box);
    for (const int length : {1000, 2100, 5000, 10000}) {
        QString entry;
        for (int w = 0; entry.size() < length; ++w)
            entry += QString(3 + (w * 7 + length) % 9, QChar(u'a' + w % 26)) + u' ';
        t.received(entry.left(length));
    }
    QTRY_VERIFY(!m_box->updatePending());
    QTest::keyClick(m_box, Qt::Key_Home, Qt::ControlModifier);
    QScrollBar *bar = m_box->verticalScrollBar();
    const QColor background = m_box->palette().color(QPalette::Base);
    auto hasInk = [&](const QImage &image, int top, int bottom) {
        for (int y = top; y < bottom; ++y) {
            for (int x = 0; x < image.width(); ++x) {
                if (image.pixelColor(x, y) != background)
                    return true;
            }
        }
        return false;
    };
    int steps = 0, blank = 0;
    for (; steps < 2000; ++steps) {
        const QImage image = m_box->viewport()->grab().toImage();
        for (const RichTextBoxTestAccess::ShownLine &line : RichTextBoxTestAccess::shownLines(*m_box)) {
            if (!line.text.trimmed().isEmpty() && line.bottom <= image.height()
                && !hasInk(image, line.top, line.bottom))
                ++blank;
        }
        if (bar->value() == bar->maximum())
            break;
        bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    }
    QVERIFY2(steps > 300, qPrintable(QString::number(steps)));
    QVERIFY2(blank == 0, qPrintable(QStringLiteral("%1 blank lines over %2 steps").arg(blank).arg(steps)));
}

// Laid out in segments, an entry gets the lines one layout of the whole
// text would give, also where a run of zero-width or combining characters
// crosses from one segment into the next.
void TestRichTextBox::linesEqualOneLayoutOfTheWhole()
{
    QString words;
    for (int w = 0; words.size() < 1000; ++w)
        words += QString(2 + w % 7, QChar(u'a' + w % 26)) + u' ';
    const QStringList entries = {
        u'a' + QString(1500, QChar(0x200D)),
        u'e' + QString(1500, QChar(0x0301)),
        words + u'e' + QString(600, QChar(0x0301)) + u" fin"_qs,
        words + u'a' + QString(1500, QChar(0x200B)) + u' ' + words,
        words + words + words,
    };
    Transcript t(*m_box);
    for (const QString &entry : entries)
        t.received(entry);
    QTRY_VERIFY(!m_box->updatePending());
    for (int e = 0; e < entries.size(); ++e) {
        QTextLayout whole(entries[e], m_box->font());
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        option.setTabStopDistance(80);
        whole.setTextOption(option);
        whole.beginLayout();
        std::vector<std::pair<qint64, qint64>> expected;
        for (QTextLine line = whole.createLine(); line.isValid(); line = whole.createLine()) {
            line.setLineWidth(RichTextBoxTestAccess::wrapWidth(*m_box));
            expected.emplace_back(line.textStart(), line.textLength());
        }
        whole.endLayout();
        const auto lines = RichTextBoxTestAccess::paragraphLines(*m_box, size_t(e) + 1);
        QVERIFY2(lines == expected,
                 qPrintable(QStringLiteral("entry %1: %2 lines, one layout %3; first %4 vs %5")
                                .arg(e)
                                .arg(lines.size())
                                .arg(expected.size())
                                .arg(lines.front().second)
                                .arg(expected.front().second)));
    }
}

// Pieces of a long paragraph end after one of its line breaks where there is
// one near: a line is never cut in two. Paging through them walks every line,
// pieces not laid out yet included.
void TestRichTextBox::longParagraphsArePiecedAtLineBreaks()
{
    Transcript t(*m_box);
    QString lines;
    for (int i = 0; i < 3000; ++i)
        lines += QStringLiteral("línea %1\n").arg(i);
    t.received(lines);
    QTRY_VERIFY(!m_box->updatePending());
    QTest::keyClick(m_box, Qt::Key_Home, Qt::ControlModifier);
    std::set<qint64> piecesSeen;
    int pages = 0;
    for (; pages < 2000 && !QTest::currentTestFailed(); ++pages) {
        const auto held = rich_text::paintAndHeld(*m_box);
        for (const auto &h : held) {
            if (h.paragraph == 1 && h.piece > 0 && piecesSeen.insert(h.piece).second)
                QVERIFY2(h.text.startsWith(u"línea "), qPrintable(h.text.left(20)));
        }
        if (held.back().text.endsWith(u"línea 2999\u2028"))
            break;
        QTest::keyClick(m_box, Qt::Key_PageDown);
    }
    QVERIFY(piecesSeen.size() > 5);
    // A line is as high as the font (its leading is not laid out).
    const int linesPerPage = m_box->viewport()->height() / m_box->fontMetrics().height();
    QVERIFY2(pages >= 3000 / linesPerPage, qPrintable(QString::number(pages)));
}

// Page Up from the end goes back a page less one line, as from anywhere
// else; a caret moved within the last page does not scroll.
void TestRichTextBox::aPageIsWhatStandsOnScreen()
{
    Transcript t(*m_box);
    for (int i = 0; i < 200; ++i)
        t.sent(QStringLiteral("línea %1").arg(i));
    m_box->setSelStart(m_box->text().length());
    QTRY_VERIFY(!m_box->updatePending());
    QScrollBar *bar = m_box->verticalScrollBar();
    rich_text::paintAndHeld(*m_box);
    const int end = bar->value();
    QCOMPARE(end, bar->maximum());
    const int page = int(m_box->viewCache().wholeLines()) - 1;
    QVERIFY2(page > 2, qPrintable(QString::number(page)));
    QTest::keyClick(m_box, Qt::Key_Up, Qt::ShiftModifier);
    QCOMPARE(bar->value(), end);
    QTest::keyClick(m_box, Qt::Key_PageUp);
    QCOMPARE(bar->value(), end - page);
    QTest::keyClick(m_box, Qt::Key_PageDown);
    QCOMPARE(bar->value(), end);
}

void TestRichTextBox::everyScriptIsDrawnWithItsGlyphs_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("Chinese") << u"你好，我们明天在咖啡馆见面吗？繁體字"_qs;
    QTest::newRow("Japanese") << u"こんにちは、カタカナと漢字の文章です。"_qs;
    QTest::newRow("Korean") << u"안녕하세요, 내일 카페에서 만날까요?"_qs;
    QTest::newRow("Arabic") << u"مرحبا، هل نلتقي غدا في المقهى؟"_qs;
    QTest::newRow("Hebrew") << u"שלום, ניפגש מחר בבית הקפה?"_qs;
    QTest::newRow("Devanagari") << u"नमस्ते, क्या हम कल कैफ़े में मिलेंगे? क्षत्रिय"_qs;
    QTest::newRow("emoji") << u"😀👍🎉☕❤️🇪🇸"_qs;
}

// A peer writing any of these is read, not shown as boxes: the entry as
// shaped is drawn with real fonts, has no glyph 0 (the box of a font that
// lacks a character), and each of its characters is in one of those fonts.
void TestRichTextBox::everyScriptIsDrawnWithItsGlyphs()
{
    QFETCH(QString, text);
    Transcript t(*m_box);
    t.received(text);
    QTRY_VERIFY(!m_box->updatePending());
    const auto held = rich_text::paintAndHeld(*m_box);
    QCOMPARE(held.back().text, text);
    const QList<QGlyphRun> runs = m_box->viewCache().lines().back().layout->glyphRuns();
    QVERIFY(!runs.isEmpty());
    for (const QGlyphRun &run : runs) {
        // Where no font has a character, Qt draws with a box engine that
        // claims every character and has no character map.
        QVERIFY2(!run.rawFont().fontTable("cmap").isEmpty(), qPrintable(text));
        QVERIFY2(!run.glyphIndexes().contains(0u), qPrintable(text));
    }
    for (const char32_t c : text.toUcs4()) {
        const bool drawn = QChar::category(c) == QChar::Other_Format || QChar::isSpace(c)
            || std::any_of(runs.begin(), runs.end(),
                           [c](const QGlyphRun &r) { return r.rawFont().supportsCharacter(c); });
        QVERIFY2(drawn, qPrintable(QStringLiteral("U+%1 is in none of the fonts").arg(quint32(c), 4, 16, QChar(u'0'))));
    }
}

void TestRichTextBox::selectionIsPaintedOnlyWithFocus()
{
    Transcript t(*m_box);
    t.sent(u"abc"_qs);
    t.received(u"defg"_qs);
    QTRY_VERIFY(!m_box->updatePending());
    QCOMPARE(m_box->selStart(), 5);
    QCOMPARE(m_box->selLength(), 6);
    const QColor highlight = m_box->palette().color(QPalette::Highlight);
    QVERIFY(!showsColor(*m_box, highlight));

    m_box->setFocus();
    QTRY_VERIFY(m_box->hasFocus());
    QVERIFY(showsColor(*m_box, highlight));
    QCOMPARE(m_box->selLength(), 6); // focus does not change the selection

    m_input->setFocus();
    QTRY_VERIFY(!m_box->hasFocus());
    QVERIFY(!showsColor(*m_box, highlight));
    QCOMPARE(m_box->selStart(), 5);
    QCOMPARE(m_box->selLength(), 6);
}

// The clipboard gets LF line breaks, built only when a client asks; the
// control keeps CR LF.
void TestRichTextBox::selectAllAndCopyGiveThePlainText()
{
    Transcript t(*m_box);
    t.sent(u"one\ttab"_qs);
    t.received(u"two\r\nlines\rand\nmore"_qs);
    QTRY_VERIFY(!m_box->updatePending());
    m_box->setFocus();
    QTRY_VERIFY(m_box->hasFocus());
    QApplication::clipboard()->clear();
    QTest::keyClick(m_box, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(m_box->selStart(), 0);
    QCOMPARE(m_box->selLength(), m_box->text().length());
    QTest::keyClick(m_box, Qt::Key_C, Qt::ControlModifier);
    const auto *offered = qobject_cast<const rich_text::ClipboardText *>(QApplication::clipboard()->mimeData());
    QVERIFY(offered);
    QCOMPARE(offered->timesBuilt(), 0);
    QCOMPARE(QApplication::clipboard()->text(), u"\none\ttab\ntwo\nlines\nand\nmore"_qs);
    QVERIFY(offered->timesBuilt() > 0);
    // The same text as the whole string with its breaks replaced, wherever
    // the rope's chunks end (a CR LF may straddle two).
    QRandomGenerator random(19);
    for (int round = 0; round < 20; ++round) {
        rich_text::Rope rope;
        QString whole;
        while (whole.size() < 20000) {
            QString part(int(random.bounded(1, 3000)), u'x');
            for (QChar &c : part)
                c = u"ab\r\n"[random.bounded(4)];
            rope += part;
            whole += part;
        }
        QCOMPARE(rich_text::ClipboardText::plainText(rope),
                 whole.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n'));
    }
    // Shift and the arrows move the selection's free end from where the program left it.
    m_box->setSelStart(3);
    QTest::keyClick(m_box, Qt::Key_Right, Qt::ShiftModifier);
    QTest::keyClick(m_box, Qt::Key_Right, Qt::ShiftModifier);
    QCOMPARE(m_box->selStart(), 3);
    QCOMPARE(m_box->selLength(), 2);
    QTest::keyClick(m_box, Qt::Key_Down, Qt::ShiftModifier);
    QCOMPARE(m_box->selStart(), 3);
    QCOMPARE(m_box->selLength(), 11); // to the same place on the next line, across the break
    QTest::keyClick(m_box, Qt::Key_Home, Qt::ShiftModifier);
    QCOMPARE(m_box->selLength(), 8); // to the start of "two"
    QTest::keyClick(m_box, Qt::Key_Left, Qt::ShiftModifier);
    QCOMPARE(m_box->selLength(), 6); // back over the break as a whole
    // The user cannot change the content.
    QTest::keyClicks(m_box, u"typed"_qs);
    QTest::keyClick(m_box, Qt::Key_Delete);
    QCoreApplication::processEvents();
    QCOMPARE(m_box->text().toString(), u"\r\none\ttab\r\ntwo\r\nlines\nand\nmore"_qs);
}

void TestRichTextBox::colourIsReadAsBgr()
{
    Transcript t(*m_box);
    t.received(u"x"_qs);
    QCOMPARE(m_box->colorAt(2), transcript::kReceivedBgr);
    m_box->setSelStart(0);
    m_box->setSelLength(1);
    m_box->setSelColor(0x0000FF); // pure red as &HBBGGRR
    QCOMPARE(m_box->colorAt(0), 0x0000FFu);
    QVERIFY(m_box->textRtf().toString().contains(u"\\red255\\green0\\blue0;"));
}

void TestRichTextBox::replacingTheDocumentReplacesTheView()
{
    Transcript t(*m_box);
    t.received(u"old"_qs);
    QTRY_VERIFY(!m_box->updatePending());
    m_box->setTextRtf(rich_text::Rope(u"{\\rtf1{\\colortbl;\\red255\\green0\\blue0;}new {\\cf1 red}\\par next}"_qs));
    QTRY_VERIFY(!m_box->updatePending());
    QCOMPARE(shownText(*m_box), u"new red\r\nnext"_qs);
    QCOMPARE(RichTextBoxTestAccess::colorShown(*m_box, 0, 4), QColor(255, 0, 0));
    m_box->setText(u"plain\r\nonly"_qs);
    QTRY_VERIFY(!m_box->updatePending());
    QCOMPARE(shownText(*m_box), u"plain\r\nonly"_qs);
    QCOMPARE(m_box->text().toString(), u"plain\r\nonly"_qs);
}

// The transcript as a screen reader reads it: a read-only multi-line text
// whose characters are those copy gives, one per break between entries.
void TestRichTextBox::screenReadersReadWhatCopyGives()
{
    Transcript t(*m_box);
    t.sent(u"one\ttab"_qs);
    t.received(u"two\r\nlines\rand\nmore"_qs);
    QTRY_VERIFY(!m_box->updatePending());
    m_box->setAccessibleName(u"Conversación"_qs);
    m_box->setAccessibleDescription(u"Mensajes"_qs);

    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(m_box);
    QVERIFY(face);
    QCOMPARE(face->role(), QAccessible::EditableText);
    QVERIFY(face->state().readOnly && face->state().multiLine && face->state().focusable);
    QCOMPARE(face->text(QAccessible::Name), u"Conversación"_qs);
    QCOMPARE(face->text(QAccessible::Description), u"Mensajes"_qs);
    QAccessibleTextInterface *text = face->textInterface();
    QVERIFY(text);

    m_box->selectAll();
    const QString copied = m_box->selectedText();
    QCOMPARE(copied, u"\none\ttab\ntwo\nlines\nand\nmore"_qs);
    QCOMPARE(text->characterCount(), copied.size());
    QCOMPARE(text->text(0, text->characterCount()), copied);
    int start = -1, end = -1;
    for (int i = 0; i < copied.size(); ++i) {
        QCOMPARE(text->textAtOffset(i, QAccessible::CharBoundary, &start, &end), copied.mid(i, 1));
        QCOMPARE(start, i);
    }
    const int lines = int(copied.indexOf(u"lines"));
    QCOMPARE(text->textAtOffset(lines + 2, QAccessible::WordBoundary, &start, &end), u"lines"_qs);
    QCOMPARE(start, lines);
    QCOMPARE(text->textAtOffset(lines, QAccessible::ParagraphBoundary, &start, &end), u"lines\nand\nmore"_qs);
    QCOMPARE(text->textBeforeOffset(lines, QAccessible::ParagraphBoundary, &start, &end), u"two\n"_qs);

    // The entry that arrived stays selected: that is the selection read out.
    t.received(u"last"_qs);
    QTRY_VERIFY(!m_box->updatePending());
    QCOMPARE(text->selectionCount(), 1);
    text->selection(0, &start, &end);
    QCOMPARE(start, copied.size());
    QCOMPARE(end, text->characterCount());
    QCOMPARE(text->text(start, end), u"\nlast"_qs);
    QCOMPARE(text->cursorPosition(), end);
    QVERIFY2(text->attributes(end - 2, &start, &end).contains(u"fg-color:85,85,255;"),
             qPrintable(text->attributes(end - 2, &start, &end)));
    QCOMPARE(start, copied.size() + 1); // the blue run, after the break that opens the entry

    // A magnifier's and a mouse reviewer's questions: where a character is
    // drawn, and which one is under a point, once it is brought on screen.
    text->scrollToSubstring(1, 4);
    const QRect one = text->characterRect(1);
    QVERIFY(!one.isEmpty());
    QCOMPARE(text->offsetAtPoint(one.center()), 1);
    QCOMPARE(text->offsetAtPoint(text->characterRect(2).center()), 2);

    // Selecting through the interface selects in the view, as a user would.
    text->setSelection(0, 1, 8);
    QCOMPARE(m_box->selectedText(), copied.mid(1, 7));
    QCOMPARE(text->cursorPosition(), 8);
    text->setCursorPosition(5);
    QCOMPARE(text->selectionCount(), 0);
    QCOMPARE(text->cursorPosition(), 5);
}

// A line is the view's line: those of a wrapped paragraph on screen, and of
// one scrolled away, laid out for the question and let go again.
void TestRichTextBox::accessibleLinesAreTheWrappedLines()
{
    Transcript t(*m_box);
    QString words;
    for (int i = 0; i < 40; ++i)
        words += QStringLiteral("palabra%1 ").arg(i);
    t.received(words);
    QTRY_VERIFY(!m_box->updatePending());
    rich_text::paintAndHeld(*m_box);
    const auto wrapped = RichTextBoxTestAccess::heldLines(*m_box, 1);
    QVERIFY(wrapped.size() >= 4);
    QAccessibleTextInterface *text = QAccessible::queryAccessibleInterface(m_box)->textInterface();
    const int paragraphStart = 1; // after the break that opens the received entry
    // The paragraph's last line takes the break after it, when one follows.
    auto checkLines = [&](int breakAfter) {
        for (const auto &[lineStart, lineLength] : wrapped) {
            const int lineEnd = paragraphStart + int(lineStart + lineLength);
            const int expectedEnd = lineStart == wrapped.back().first ? lineEnd + breakAfter : lineEnd;
            for (const qint64 at : {lineStart, lineStart + lineLength - 1}) {
                int start = -1, end = -1;
                text->textAtOffset(paragraphStart + int(at), QAccessible::LineBoundary, &start, &end);
                QCOMPARE(start, paragraphStart + int(lineStart));
                QCOMPARE(end, expectedEnd);
            }
        }
    };
    checkLines(0);
    int start = -1, end = -1;
    const auto [secondStart, secondLength] = wrapped[1];
    QCOMPARE(text->textAfterOffset(paragraphStart, QAccessible::LineBoundary, &start, &end),
             words.mid(secondStart, secondLength));

    for (int i = 0; i < 50; ++i)
        t.received(QStringLiteral("corta %1").arg(i));
    QTRY_VERIFY(!m_box->updatePending());
    rich_text::paintAndHeld(*m_box);
    QVERIFY(RichTextBoxTestAccess::heldLines(*m_box, 1).empty());
    // Each question lays out that one paragraph, nothing else.
    const qint64 laidOut = RichTextBoxTestAccess::charactersLaidOut(*m_box);
    checkLines(1);
    const qint64 questions = 2 * qint64(wrapped.size());
    QVERIFY2(RichTextBoxTestAccess::charactersLaidOut(*m_box) - laidOut <= questions * words.size(),
             qPrintable(QString::number(RichTextBoxTestAccess::charactersLaidOut(*m_box) - laidOut)));
    QVERIFY(RichTextBoxTestAccess::heldLines(*m_box, 1).empty());

    // Off screen a character has no place; asked to, the view brings it back.
    QVERIFY(text->characterRect(paragraphStart).isEmpty());
    text->scrollToSubstring(paragraphStart, paragraphStart + 5);
    QVERIFY(!text->characterRect(paragraphStart).isEmpty());
}

// Each update that adds text is told as inserted; the messages it brings
// are told by a new notification, wherever the focus is in the window, and
// the selection and caret that move with them are not told apart. A flood is
// told by its last 64 KiB, where they stand, and announced by its start.
void TestRichTextBox::screenReadersAreToldWhatArrives()
{
    support::AccessibilityEvents events;
    QVERIFY(QAccessible::isActive());
    Transcript t(*m_box);
    t.sent(u"mío"_qs);
    QTRY_VERIFY(!m_box->updatePending());
    QAccessibleTextInterface *text = QAccessible::queryAccessibleInterface(m_box)->textInterface();
    const int before = text->characterCount();
    m_box->setFocus();
    QTRY_VERIFY(m_box->hasFocus());
    events.clear();

    // With the focus here, what arrives is inserted, the break apart from the
    // entry (a screen reader speaks an insertion that is the very selection),
    // and spoken by its notification; the entry is selected without a word.
    t.received(u"hola"_qs);
    m_box->announce(u"hola"_qs);
    QTRY_VERIFY(!m_box->updatePending());
    const auto inserted = events.of(QAccessible::TextInserted, m_box);
    QCOMPARE(inserted.size(), size_t(2));
    QCOMPARE(inserted[0].position, before);
    QCOMPARE(inserted[0].text + inserted[1].text, u"\nhola"_qs);
    QCOMPARE(inserted[1].position, before + 1);
    QVERIFY(events.of(QAccessible::TextSelectionChanged, m_box).empty());
    QVERIFY(events.of(QAccessible::TextCaretMoved, m_box).empty());
    QCOMPARE(m_box->selStart(), qint64(5)); // the entry stays selected: after "mío" and its two positions
    const auto focusedShown = events.of(QAccessible::ObjectShow, m_box);
    QCOMPARE(focusedShown.size(), size_t(1));
    QCOMPARE(focusedShown[0].text, u"hola"_qs);

    // Elsewhere in the window, it is a notification, spoken once; the view's
    // selection and caret stay to themselves, so that the screen reader
    // stays where the user is.
    m_input->setFocus();
    QTRY_VERIFY(!m_box->hasFocus());
    events.clear();
    t.received(u"adiós"_qs);
    m_box->announce(u"adiós"_qs);
    t.received(u"y más"_qs);
    m_box->announce(u"y más"_qs);
    QTRY_VERIFY(!m_box->updatePending());
    const auto insertedAway = events.of(QAccessible::TextInserted, m_box);
    QCOMPARE(insertedAway.size(), size_t(2)); // the screen reader's focus may still be here
    QCOMPARE(insertedAway[0].text + insertedAway[1].text, u"\nadiós\ny más"_qs);
    QVERIFY(events.of(QAccessible::TextSelectionChanged, m_box).empty());
    QVERIFY(events.of(QAccessible::TextCaretMoved, m_box).empty());
    const auto shown = events.of(QAccessible::ObjectShow, m_box);
    QCOMPARE(shown.size(), size_t(1));
    QCOMPARE(shown[0].role, QAccessible::Notification);
    QCOMPARE(shown[0].text, u"adiós\ny más"_qs);
    QVERIFY(shown[0].id != focusedShown[0].id); // a notification shown again would be taken for one told twice

    events.clear();
    const QString flood(100000, u'x');
    t.received(flood);
    m_box->announce(flood);
    m_box->announce(u"más"_qs);
    QTRY_VERIFY(!m_box->updatePending());
    const auto floodShown = events.of(QAccessible::ObjectShow, m_box);
    QCOMPARE(floodShown.size(), size_t(1));
    QCOMPARE(floodShown[0].text, QString(rich_text::AccessibleAnnouncement::kLongest, u'x') + u"…\nmás"_qs);
    QCOMPARE(QAccessible::queryAccessibleInterface(m_box)->childCount(), 3);
    QVERIFY(events.of(QAccessible::TextInserted, m_box).empty());
    const auto updated = events.of(QAccessible::TextUpdated, m_box);
    QCOMPARE(updated.size(), size_t(1));
    QCOMPARE(updated[0].text.size(), rich_text::AccessibleRichTextBox::kMostAnnounced);
    QCOMPARE(updated[0].position, text->characterCount() - rich_text::AccessibleRichTextBox::kMostAnnounced);
}

// With the focus in the transcript, the arrows, Ctrl+Left/Right (by word),
// Home/End, Ctrl+Home/End and the page keys move a caret, each move told as
// the caret event a screen reader speaks the line or word by; Shift selects
// from it, Ctrl+C copies, the view follows it, and a message arriving
// meanwhile leaves it where it is while its entry is selected.
void TestRichTextBox::aCaretReadsTheConversationLineByLine()
{
    support::AccessibilityEvents events;
    Transcript t(*m_box);
    for (int i = 0; i < 60; ++i)
        t.received(QStringLiteral("línea %1").arg(i));
    m_box->setFocus();
    QTRY_VERIFY(m_box->hasFocus());
    QTRY_VERIFY(!m_box->updatePending());
    QAccessibleTextInterface *text = QAccessible::queryAccessibleInterface(m_box)->textInterface();
    const int end = text->characterCount();
    QCOMPARE(text->cursorPosition(), end); // at the end of the entry that arrived last
    auto press = [&](Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        events.clear();
        QTest::keyClick(m_box, key, modifiers);
        QCoreApplication::processEvents();
        const auto moved = events.of(QAccessible::TextCaretMoved, m_box);
        return moved.size() == 1 && moved[0].position == text->cursorPosition() ? moved[0].position : -1;
    };
    auto lineAt = [&](int caret) {
        int start = -1, stop = -1;
        return text->textAtOffset(caret, QAccessible::LineBoundary, &start, &stop).trimmed();
    };
    int caret = press(Qt::Key_Up);
    QCOMPARE(lineAt(caret), u"línea 58"_qs);
    QCOMPARE(caret, end - 9); // the same place on the line above
    QCOMPARE(m_box->selLength(), 0);
    caret = press(Qt::Key_Up);
    QCOMPARE(lineAt(caret), u"línea 57"_qs);
    const int lineStart = press(Qt::Key_Home);
    QCOMPARE(text->text(lineStart, lineStart + 8), u"línea 57"_qs);
    QCOMPARE(press(Qt::Key_End), lineStart + 8);
    // By word: to the start of the next word, over a paragraph's end to the
    // next one, and back; with Shift, selecting the word.
    QCOMPARE(press(Qt::Key_Home), lineStart);
    QCOMPARE(press(Qt::Key_Right, Qt::ControlModifier), lineStart + 6);
    QCOMPARE(press(Qt::Key_Right, Qt::ControlModifier), lineStart + 8);
    QCOMPARE(press(Qt::Key_Right, Qt::ControlModifier), lineStart + 9);
    QCOMPARE(lineAt(text->cursorPosition()), u"línea 58"_qs);
    QCOMPARE(press(Qt::Key_Left, Qt::ControlModifier), lineStart + 8);
    QCOMPARE(press(Qt::Key_Left, Qt::ControlModifier), lineStart + 6);
    QCOMPARE(press(Qt::Key_Right, Qt::ControlModifier | Qt::ShiftModifier), lineStart + 8);
    QCOMPARE(m_box->selectedText(), u"57"_qs);
    QCOMPARE(press(Qt::Key_Home, Qt::ControlModifier), 0);
    QCOMPARE(m_box->verticalScrollBar()->value(), 0); // the view follows the caret
    caret = press(Qt::Key_PageDown);
    QVERIFY(lineAt(caret).startsWith(u"línea "));
    QVERIFY(!text->characterRect(caret).isEmpty());
    QVERIFY(m_box->verticalScrollBar()->value() > 0);
    QVERIFY(press(Qt::Key_PageUp) < caret);
    QCOMPARE(press(Qt::Key_End, Qt::ControlModifier), end);

    // Shift selects from the caret; Ctrl+C copies the selection.
    press(Qt::Key_Up);
    press(Qt::Key_Home);
    caret = press(Qt::Key_Right, Qt::ShiftModifier);
    QCOMPARE(m_box->selectedText(), u"l"_qs);
    QCOMPARE(events.of(QAccessible::TextSelectionChanged, m_box).size(), size_t(1));
    QTest::keyClick(m_box, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), u"l"_qs);

    // A message arrives: its entry is selected, the caret stays.
    events.clear();
    const qint64 length = m_box->text().length();
    t.received(u"nuevo"_qs);
    QTRY_VERIFY(!m_box->updatePending());
    QCOMPARE(m_box->selStart(), length);
    QCOMPARE(m_box->selLength(), 7);
    QCOMPARE(text->cursorPosition(), caret);
    QVERIFY(events.of(QAccessible::TextCaretMoved, m_box).empty());
    QCOMPARE(press(Qt::Key_Right), caret + 1);
    QCOMPARE(m_box->selLength(), 0);
}

QTEST_MAIN(TestRichTextBox)
#include "test_rich_text_box.moc"
