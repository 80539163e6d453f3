// libFuzzer target for the RTF reader. Besides "no crash, no sanitizer
// report", it checks two properties on every input:
//  - what the writer makes of a document reads back to the same document;
//  - the input appended to the control's own source is read incrementally
//    to the same document as a full read of the extended source.

#include "rich_text/rtf_reader.h"
#include "rich_text/rtf_writer.h"
#include "rich_text/text_model.h"
#include "support/rich_text_access.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace rich_text;

namespace {

const QString kFont = QStringLiteral("MS Sans Serif");

// Even-sized inputs starting with 0xFF are taken as UTF-16, to reach
// surrogates; everything else as Latin-1.
QString decode(const uint8_t *data, size_t size)
{
    if (size >= 2 && data[0] == 0xFF && size % 2 == 1) {
        QString s(qsizetype((size - 1) / 2), Qt::Uninitialized);
        std::memcpy(s.data(), data + 1, size - 1);
        return s;
    }
    return QString::fromLatin1(reinterpret_cast<const char *>(data), qsizetype(size));
}

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const Rope input(decode(data, size));
    const Document doc = RtfReader::read(input, kFont);
    check(RtfReader::read(rtf_writer::write(doc), kFont) == doc);

    TextModel model;
    model.setText(u"earlier entry\r\nwith two paragraphs"_qs);
    model.setSelStart(3);
    model.setSelLength(14);
    model.setSelColor(0x5555FF);
    const Rope source = model.textRtf();
    const Rope extended = source.left(source.length() - 3) + input + Rope(u"}");
    model.setText(source);
    model.setTextRtf(extended);
    check(TextModelTestAccess::lastLoadIncremental(model));
    check(RtfReader::read(extended, kFont) == model.document());
    return 0;
}
