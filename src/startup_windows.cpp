#include "startup_platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFont>
#include <QFontDatabase>

#include <algorithm>

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
    if (!families.isEmpty())
        QFont::insertSubstitutions(QStringLiteral("sans-serif"), families);
}

} // namespace startup_platform
