#include "rich_text/rich_text_box.h"
#include "transcript.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>

using rich_text::RichTextBox;
using Transcript = transcript::Writer<RichTextBox>;

namespace {

// The editor's paragraphs with Qt's line separators mapped back, joined like text().
QString shownText(const RichTextBox& box)
{
    QStringList blocks;
    for (QTextBlock b = box.editor()->document()->begin(); b.isValid(); b = b.next())
        blocks << b.text().replace(QChar::LineSeparator, u'\n');
    return blocks.join(u"\r\n");
}

QColor shownColor(const RichTextBox& box, int blockNumber, int offset)
{
    QTextCursor c(box.editor()->document()->findBlockByNumber(blockNumber));
    c.movePosition(QTextCursor::Right, QTextCursor::MoveAnchor, offset + 1);
    return c.charFormat().foreground().color();
}

}  // namespace

class TestRichTextBox : public QObject {
    Q_OBJECT
private slots:
    void init();
    void updatesAreCoalescedAfterTheHandler();
    void showsColoursOfReceivedEntries();
    void updatesOnlyChangedParagraphs();
    void viewKeepsOneBlockPerParagraph();
    void scrollsToTheEndWhenEntriesAreAdded();
    void selectionIsPaintedOnlyWithFocus();
    void selectAllAndCopyGiveThePlainText();
    void colourIsReadAsBgr();
    void replacingTheDocumentReplacesTheView();

private:
    std::unique_ptr<QWidget> m_window;
    RichTextBox* m_box = nullptr;
    QLineEdit* m_input = nullptr;
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
    QSignalSpy changes(m_box->editor()->document(), &QTextDocument::contentsChange);
    Transcript t(*m_box);
    t.sent(u"hello"_qs);
    t.received(u"{world}"_qs);
    // Nothing is shown while the handler runs, not even the intermediate plain source.
    QCOMPARE(changes.count(), 0);
    QCOMPARE(m_box->editor()->document()->toPlainText(), QString());
    QTRY_VERIFY(!m_box->updatePending());
    QCOMPARE(shownText(*m_box), m_box->plainText());
    QCOMPARE(m_box->plainText(), u"\r\nhello\r\n{world}"_qs);
    QCOMPARE(changes.count(), 1);
}

void TestRichTextBox::showsColoursOfReceivedEntries()
{
    Transcript t(*m_box);
    t.sent(u"mine"_qs);
    t.received(u"yours\nnext"_qs);
    QTRY_VERIFY(!m_box->updatePending());
    QCOMPARE(shownText(*m_box), u"\r\nmine\r\nyours\nnext"_qs);
    QCOMPARE(shownColor(*m_box, 1, 0), QColor(m_box->editor()->palette().color(QPalette::Text)));
    QCOMPARE(shownColor(*m_box, 2, 0), QColor(85, 85, 255));
    QCOMPARE(shownColor(*m_box, 2, 9), QColor(85, 85, 255));
}

void TestRichTextBox::updatesOnlyChangedParagraphs()
{
    Transcript t(*m_box);
    for (int i = 0; i < 200; ++i)
        i % 2 ? t.received(u"a received message"_qs) : t.sent(u"a sent message"_qs);
    QTRY_VERIFY(!m_box->updatePending());
    QTextDocument* doc = m_box->editor()->document();
    // Appending, sent or received, only adds: nothing shown before is laid
    // out again.
    for (bool received : {true, false}) {
        QSignalSpy changes(doc, &QTextDocument::contentsChange);
        const int before = doc->characterCount();
        received ? t.received(u"last"_qs) : t.sent(u"more"_qs);
        QTRY_VERIFY(!m_box->updatePending());
        QCOMPARE(changes.count(), 1);
        QCOMPARE(changes.at(0).at(0).toInt(), before - 1);
        QCOMPARE(changes.at(0).at(1).toInt(), 0);
    }
    QCOMPARE(shownText(*m_box), m_box->plainText());
    QCOMPARE(shownColor(*m_box, 201, 0), QColor(85, 85, 255));
}

// Characters that Qt itself takes as block boundaries must not split the
// view's paragraphs from the model's: the entries after them stay whole.
void TestRichTextBox::viewKeepsOneBlockPerParagraph()
{
    Transcript t(*m_box);
    t.received(u"uno\u2029dos\uFDD0tres\uFDD1"_qs);
    t.received(u"siguiente"_qs);
    t.sent(u"propio"_qs);
    QTRY_VERIFY(!m_box->updatePending());
    QTextDocument* doc = m_box->editor()->document();
    QCOMPARE(size_t(doc->blockCount()), m_box->model().paragraphCount());
    QCOMPARE(doc->findBlockByNumber(1).text(), u"uno\u2028dos\uFFFDtres\uFFFD"_qs);
    QCOMPARE(doc->findBlockByNumber(2).text(), u"siguiente"_qs);
    QCOMPARE(doc->findBlockByNumber(3).text(), u"propio"_qs);
}

void TestRichTextBox::scrollsToTheEndWhenEntriesAreAdded()
{
    Transcript t(*m_box);
    QScrollBar* bar = m_box->editor()->verticalScrollBar();
    for (int i = 0; i < 50; ++i) {
        t.sent(QStringLiteral("line %1").arg(i));
        QCoreApplication::processEvents();
    }
    QTRY_VERIFY(bar->maximum() > 0);
    QTRY_COMPARE(bar->value(), bar->maximum());
    bar->setValue(0);
    t.received(u"news"_qs);
    QTRY_COMPARE(bar->value(), bar->maximum());
}

void TestRichTextBox::selectionIsPaintedOnlyWithFocus()
{
    Transcript t(*m_box);
    t.sent(u"abc"_qs);
    t.received(u"defg"_qs);
    QTRY_VERIFY(!m_box->updatePending());
    QCOMPARE(m_box->selStart(), 5);
    QCOMPARE(m_box->selLength(), 6);
    QVERIFY(!m_box->editor()->hasFocus());
    QVERIFY(!m_box->editor()->textCursor().hasSelection());

    m_box->setFocus();
    QTRY_VERIFY(m_box->editor()->hasFocus());
    const QTextCursor c = m_box->editor()->textCursor();
    QCOMPARE(c.selectedText(), QString(QChar::ParagraphSeparator) + u"defg"_qs);
    QCOMPARE(m_box->selLength(), 6);       // focus does not change the selection

    m_input->setFocus();
    QTRY_VERIFY(!m_box->editor()->textCursor().hasSelection());
    QCOMPARE(m_box->selStart(), 5);
    QCOMPARE(m_box->selLength(), 6);
}

void TestRichTextBox::replacingTheDocumentReplacesTheView()
{
    Transcript t(*m_box);
    t.received(u"old"_qs);
    QTRY_VERIFY(!m_box->updatePending());
    m_box->setTextRtf(rich_text::Rope(u"{\\rtf1{\\colortbl;\\red255\\green0\\blue0;}new {\\cf1 red}\\par next}"_qs));
    QTRY_VERIFY(!m_box->updatePending());
    QCOMPARE(shownText(*m_box), u"new red\r\nnext"_qs);
    QCOMPARE(shownColor(*m_box, 0, 4), QColor(255, 0, 0));
    m_box->setText(u"plain\r\nonly"_qs);
    QTRY_VERIFY(!m_box->updatePending());
    QCOMPARE(shownText(*m_box), u"plain\r\nonly"_qs);
    QCOMPARE(m_box->text().toString(), u"plain\r\nonly"_qs);
}

void TestRichTextBox::selectAllAndCopyGiveThePlainText()
{
    Transcript t(*m_box);
    t.sent(u"one\ttab"_qs);
    t.received(u"two\r\nlines"_qs);
    QTRY_VERIFY(!m_box->updatePending());
    m_box->setFocus();
    QTRY_VERIFY(m_box->editor()->hasFocus());
    QApplication::clipboard()->clear();
    QTest::keyClick(m_box->editor(), Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(m_box->selStart(), 0);
    QCOMPARE(m_box->selLength(), m_box->text().length());
    QTest::keyClick(m_box->editor(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), m_box->plainText());
    // The user cannot change the content.
    QTest::keyClicks(m_box->editor(), u"typed"_qs);
    QTest::keyClick(m_box->editor(), Qt::Key_Delete);
    QCoreApplication::processEvents();
    QCOMPARE(m_box->plainText(), u"\r\none\ttab\r\ntwo\r\nlines"_qs);
    QCOMPARE(shownText(*m_box), m_box->plainText());
}

void TestRichTextBox::colourIsReadAsBgr()
{
    Transcript t(*m_box);
    t.received(u"x"_qs);
    QCOMPARE(m_box->colorAt(2), transcript::kReceivedBgr);
    m_box->setSelStart(0);
    m_box->setSelLength(1);
    m_box->setSelColor(0x0000FF);        // pure red as &HBBGGRR
    QCOMPARE(m_box->colorAt(0), 0x0000FFu);
    QVERIFY(m_box->textRtf().toString().contains(u"\\red255\\green0\\blue0;"));
}

QTEST_MAIN(TestRichTextBox)
#include "test_rich_text_box.moc"
