#pragma once

#include <QtGlobal>

#include <memory>

namespace rich_text {

// Delivery of a long copied text to other programs on an X11 display, in
// steps small enough that the window keeps answering. Qt's own delivery
// hands the text over in steps as large as the X server takes in one
// request (16 MiB), each written while the window waits; with several
// programs pasting at once the server is slow to take them, and the window
// stood still for most of a second. Here a request for a long ClipboardText
// as UTF-8 is answered in steps of kStepBytes, a few of them per pass of the
// event loop; every other request (short texts, other formats, other data)
// is left to Qt.
//
// Elsewhere (Windows, Wayland, no display) there is nothing to do:
// forThisDisplay() gives none.
class SelectionTransfers {
public:
    // Texts of at least this many characters are delivered here.
    static constexpr qint64 kLongText = qint64(1) << 20;
    static constexpr int kStepBytes = 1 << 20;

    // What has been delivered so far (for tests).
    struct Work {
        qint64 transfers = 0;   // requests answered here
        qint64 steps = 0;       // pieces of text handed over
        qint64 largestStep = 0; // most bytes in one of them
        qint64 underWay = 0;    // transfers not yet finished
    };

    static std::unique_ptr<SelectionTransfers> forThisDisplay();
    virtual ~SelectionTransfers() = default;
    virtual Work work() const = 0;
};

} // namespace rich_text
