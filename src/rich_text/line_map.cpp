#include "rich_text/line_map.h"

#include <QTextBoundaryFinder>

#include <algorithm>
#include <limits>

namespace rich_text {

namespace {

bool isBreak(QChar c)
{
    return c == u'\r' || c == u'\n' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator;
}

} // namespace

LineMap::LineMap(const Document &doc)
    : m_doc(doc)
    , m_lines([this](size_t paragraph) { return pieceCount(paragraph); },
              [this](size_t from, size_t to) { m_pieces.erase(m_pieces.lower_bound(from), m_pieces.lower_bound(to)); })
{
    m_lines.resize(m_doc.paragraphCount());
}

void LineMap::paragraphsChanged(size_t from) { m_changedFrom = std::min(m_changedFrom, from); }

void LineMap::catchUp() const
{
    if (m_changedFrom == kNone)
        return;
    const size_t from = std::min(m_changedFrom, m_lines.size());
    m_changedFrom = kNone;
    m_lines.resize(from);
    m_pieces.erase(m_pieces.lower_bound(from), m_pieces.end());
    m_lines.resize(m_doc.paragraphCount());
}

size_t LineMap::paragraphCount() const
{
    catchUp();
    return m_lines.size();
}

qint64 LineMap::totalLines() const
{
    catchUp();
    return m_lines.total();
}

void LineMap::forgetLineCounts()
{
    catchUp();
    m_lines.forgetAll();
    for (auto &[paragraph, pieces] : m_pieces)
        std::fill(pieces.lines.begin(), pieces.lines.end(), 0);
}

qint64 LineMap::pieceCount(size_t paragraph) const
{
    const qint64 length = m_doc.paragraphLength(paragraph);
    return length <= kPiece ? 1 : (length + kPiece - 1) / kPiece;
}

LineMap::Pieces &LineMap::piecesOf(size_t paragraph) const
{
    catchUp();
    if (m_pieces.size() >= kMostPieced && !m_pieces.contains(paragraph)) {
        // The paragraph farthest from this one counts as not laid out again.
        const auto first = m_pieces.begin();
        const auto last = std::prev(m_pieces.end());
        auto distance = [paragraph](size_t q) { return q > paragraph ? q - paragraph : paragraph - q; };
        const auto far = distance(first->first) > distance(last->first) ? first : last;
        m_lines.setLines(far->first, pieceCount(far->first));
        m_pieces.erase(far);
    }
    Pieces &p = m_pieces[paragraph];
    if (p.start.empty()) {
        const size_t count = size_t(pieceCount(paragraph));
        p.start.assign(count, -1);
        p.start[0] = 0;
        p.lines.assign(count, 0);
    }
    return p;
}

qint64 LineMap::pieceStart(size_t paragraph, qint64 piece) const
{
    if (piece == 0)
        return 0;
    qint64 &start = piecesOf(paragraph).start[size_t(piece)];
    if (start < 0)
        start = findPieceStart(paragraph, piece);
    return start;
}

qint64 LineMap::findPieceStart(size_t paragraph, qint64 piece) const
{
    const qint64 nominal = piece * kPiece;
    const qint64 from = nominal - kPieceSnap;
    // The snap window and a little after it, to see the cluster at the nominal start.
    const qint64 after = std::min<qint64>(64, m_doc.paragraphLength(paragraph) - nominal);
    const QString window = m_doc.text().mid(m_doc.paragraphStart(paragraph) + from, kPieceSnap + after).toString();
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, window);
    auto boundary = [&](qint64 at) {
        graphemes.setPosition(int(at));
        return graphemes.isAtBoundary();
    };
    qint64 afterSpace = -1;
    for (qint64 i = kPieceSnap - 1; i >= 0; --i) {
        const QChar c = window.at(i);
        if (isBreak(c) && boundary(i + 1))
            return from + i + 1;
        if (afterSpace < 0 && c.isSpace() && boundary(i + 1))
            afterSpace = from + i + 1;
    }
    if (afterSpace >= 0)
        return afterSpace;
    if (boundary(kPieceSnap))
        return nominal;
    graphemes.setPosition(int(kPieceSnap));
    const qint64 before = graphemes.toPreviousBoundary();
    // A cluster longer than the window is cut where the piece would end.
    return before > 0 ? from + before : nominal;
}

qint64 LineMap::pieceEnd(size_t paragraph, qint64 piece) const
{
    return piece + 1 < pieceCount(paragraph) ? pieceStart(paragraph, piece + 1) : m_doc.paragraphLength(paragraph);
}

qint64 LineMap::blockStart(const Block &b) const
{
    return m_doc.paragraphStart(b.paragraph) + pieceStart(b.paragraph, b.piece);
}

Block LineMap::blockAt(qint64 pos) const
{
    const size_t paragraph = m_doc.paragraphAt(pos);
    const qint64 pieces = pieceCount(paragraph);
    const qint64 offset = std::min(pos - m_doc.paragraphStart(paragraph), m_doc.paragraphLength(paragraph));
    qint64 piece = std::min(offset / kPiece, pieces - 1);
    if (piece + 1 < pieces && offset >= pieceStart(paragraph, piece + 1))
        ++piece;
    else if (piece > 0 && offset < pieceStart(paragraph, piece))
        --piece;
    return Block{paragraph, piece};
}

qint64 LineMap::blockLines(const Block &b) const
{
    catchUp();
    const auto pieces = m_pieces.find(b.paragraph);
    if (pieces == m_pieces.end())
        return pieceCount(b.paragraph) == 1 ? m_lines.lines(b.paragraph) : 1;
    return std::max<qint64>(pieces->second.lines[size_t(b.piece)], 1);
}

void LineMap::setLines(const Block &b, qint64 lines)
{
    catchUp();
    if (pieceCount(b.paragraph) == 1) {
        m_lines.setLines(b.paragraph, lines);
        return;
    }
    std::vector<qint32> &counts = piecesOf(b.paragraph).lines;
    counts[size_t(b.piece)] = qint32(std::clamp<qint64>(lines, 1, std::numeric_limits<qint32>::max()));
    qint64 sum = 0;
    for (const qint32 n : counts)
        sum += std::max(n, 1);
    m_lines.setLines(b.paragraph, sum);
}

bool LineMap::nextBlock(Block &b) const
{
    catchUp();
    if (b.piece + 1 < pieceCount(b.paragraph)) {
        ++b.piece;
        return true;
    }
    if (b.paragraph + 1 >= m_lines.size())
        return false;
    b = Block{b.paragraph + 1, 0};
    return true;
}

bool LineMap::previousBlock(Block &b) const
{
    if (b.piece > 0) {
        --b.piece;
        return true;
    }
    if (b.paragraph == 0)
        return false;
    b.paragraph -= 1;
    b.piece = pieceCount(b.paragraph) - 1;
    return true;
}

Block LineMap::lastBlock() const
{
    catchUp();
    const size_t last = m_lines.size() - 1;
    return Block{last, pieceCount(last) - 1};
}

qint64 LineMap::lineNumberOf(const LinePosition &p) const
{
    catchUp();
    qint64 line = m_lines.linesBefore(p.block.paragraph);
    for (Block b{p.block.paragraph, 0}; b.piece < p.block.piece; ++b.piece)
        line += blockLines(b);
    return line + p.line;
}

LinePosition LineMap::positionOfLine(qint64 line) const
{
    catchUp();
    auto [paragraph, within] = m_lines.find(line);
    Block b{paragraph, 0};
    const qint64 pieces = pieceCount(paragraph);
    while (b.piece + 1 < pieces && within >= blockLines(b)) {
        within -= blockLines(b);
        ++b.piece;
    }
    return LinePosition{b, std::min(within, blockLines(b) - 1)};
}

} // namespace rich_text
