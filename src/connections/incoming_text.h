#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace connections {

// Turns the bytes of one connection into text, read after read.
// UTF-8 is the wire's encoding. Bytes that are not valid UTF-8 are still
// text: each one is taken as Windows-1252, the code page of legacy Spanish
// peers, so nothing that arrives is ever dropped.
// A read that ends in the first bytes of a UTF-8 character is held back for
// the rest only where that is plausibly a split character: more bytes were
// already waiting, or the connection has shown UTF-8 before. A legacy peer's
// "café" (63 61 66 E9) is therefore one text, not "caf" and, later, "é".
// The socket waits a little before reading such an ending on a connection
// that has shown neither UTF-8 nor Windows-1252 yet (see
// endsInOpenCharacter), so that a first message cut inside a character by
// the network still arrives whole.
class IncomingText {
public:
    // `moreWaiting`: the read stopped short of what had arrived.
    QString decode(QByteArrayView bytes, bool moreWaiting = false);
    // False when `more`, read after what is held, cannot end inside a
    // character, so that decode() does not need to know whether more is
    // waiting.
    bool mayEndInsideACharacter(QByteArrayView more) const;
    // Gives up waiting for the rest of a held sequence: its bytes become
    // Windows-1252 characters.
    QString flush();
    bool hasPending() const { return !m_pending.isEmpty(); }
    // True when `more`, read on its own, would be held whole as the start of
    // a character, so decoding it now would give no text at all.
    bool onlyStartsACharacter(QByteArrayView more) const;
    // True when `bytes`, read now, would show the start of a character at
    // their end as Windows-1252 because nothing says more will come: the
    // connection has shown neither UTF-8 nor Windows-1252 and holds nothing
    // back.
    bool endsInOpenCharacter(QByteArrayView bytes) const;
    bool hasShownUtf8() const { return m_shownUtf8; }
    // Bytes decoded one at a time so far rather than by Qt's decoder: those
    // that are not UTF-8, and characters cut between two reads.
    qint64 bytesDecodedOneByOne() const { return m_bytesOneByOne; }
    bool hasShownWindows1252() const { return m_shownWindows1252; }

private:
    static qsizetype openCharacterLength(QByteArrayView bytes);
    QString finishHeld(QByteArrayView &bytes, bool moreWaiting);
    bool decodeUtf8(QByteArrayView bytes, QString &text);
    QString decodeMixed(QByteArrayView bytes, bool moreWaiting, bool afterText);
    bool decodeCharacter(QByteArrayView bytes, qsizetype &i, bool moreWaiting, char16_t *&out, bool &afterText);
    bool decodeCharacterAt(QByteArrayView bytes, qsizetype &i, bool moreWaiting, char16_t *&out, bool afterText);

    QByteArray m_pending;
    bool m_shownUtf8 = false; // a valid multi-byte character has come
    qint64 m_bytesOneByOne = 0;
    // A byte that cannot be UTF-8 where it stands has come: a lead byte
    // followed by one that does not continue it, a byte no UTF-8 text holds,
    // or a continuation byte after text of its read (one at the start of a
    // read may end a character shown before its wait ran out).
    bool m_shownWindows1252 = false;
};

} // namespace connections
