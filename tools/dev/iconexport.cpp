// Writes the program's icon, drawn in code, as PNG files for the desktop's icon theme:
//
//   lumatrax-icons OUTPUT_DIR ICON_NAME
//
// gives OUTPUT_DIR/hicolor/<n>x<n>/apps/ICON_NAME.png for every size the theme should carry.

#include "app/appicon.h"

#include <QDir>
#include <QImage>

#include <cstdio>

int main(int argc, char* argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR ICON_NAME\n", argv[0]);
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    const QString name = QString::fromLocal8Bit(argv[2]);
    for (int side : {16, 24, 32, 48, 64, 128, 256}) {
        const QString dir = QStringLiteral("%1/hicolor/%2x%2/apps").arg(root).arg(side);
        const QString file = QStringLiteral("%1/%2.png").arg(dir, name);
        if (!QDir().mkpath(dir) || !lumatrax::appIconImage(side).save(file, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
