#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace connections {

// Turns the bytes of one connection into text, read after read.
// UTF-8 is the wire's encoding; a character whose bytes are split between two
// reads is held back and shown whole. Bytes that are not valid UTF-8 are still
// text: each one is taken as Windows-1252, the code page of legacy Spanish
// peers, so nothing that arrives is ever dropped.
class IncomingText {
public:
    QString decode(QByteArrayView bytes);
    // Gives up waiting for the rest of a held sequence: its bytes become
    // Windows-1252 characters.
    QString flush();
    bool hasPending() const { return !pending_.isEmpty(); }
    // True when `more` would only add to one character still cut short, so
    // decoding it now would give no text at all.
    bool onlyStartsACharacter(QByteArrayView more) const;

private:
    QByteArray pending_;
};

char16_t windows1252ToUnicode(unsigned char byte);

} // namespace connections
