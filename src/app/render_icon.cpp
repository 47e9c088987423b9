// Renders the program icon for the desktop's icon theme at build time: one PNG per size.
//   qe-render-icon DIR SIZE...   writes DIR/SIZE.png
#include <cstdio>
#include <cstdlib>

#include <QDir>
#include <QGuiApplication>

#include "ui/artwork.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: qe-render-icon DIR SIZE...\n", stderr);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");  // a build machine need not have a display
    QGuiApplication application(argc, argv);
    const QDir out(QString::fromLocal8Bit(argv[1]));
    for (int i = 2; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        const QString path = out.filePath(QString::number(size) + QStringLiteral(".png"));
        if (size <= 0 || !qe::ProgramIconPixmap(size, 1.0).save(path, "PNG")) {
            std::fprintf(stderr, "qe-render-icon: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
