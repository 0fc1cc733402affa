// The application icon for the desktop, rendered from its scalable drawing:
//   zelicons SVG OUTDIR   writes OUTDIR/NxN/apps/zeldownload.png for every size of
//                         kSizes (the layout of the hicolor icon theme)
//   zelicons --check SVG  compares the drawing with the icon the window paints
//                         (CArtwork::AppIcon) at each of its sizes; exit status 1
//                         when they no longer look alike.
#include "resources/Artwork.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kSizes[] = {16, 32, 48, 64, 128, 256};
// The sizes the window paints itself.
constexpr int kWindowSizes[] = {16, 32, 48};
// Two renderings of the same shapes differ only where antialiasing rounds the other
// way: a few units at an edge, almost nothing on average.
constexpr int kMaxChannelDiff = 32;
constexpr double kMaxMeanDiff = 0.5;

QImage Render(QSvgRenderer& svg, int nSize)
{
    QImage image(nSize, nSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    svg.render(&painter, QRectF(0, 0, nSize, nSize));
    painter.end();
    return image;
}

int WritePngs(QSvgRenderer& svg, const QString& outDir)
{
    for (int nSize : kSizes) {
        const QString dir = QString("%1/%2x%2/apps").arg(outDir).arg(nSize);
        const QString path = dir + "/zeldownload.png";
        if (!QDir().mkpath(dir) || !Render(svg, nSize).convertToFormat(QImage::Format_ARGB32).save(path, "PNG")) {
            std::fprintf(stderr, "zelicons: cannot write %s\n", path.toLocal8Bit().constData());
            return 1;
        }
    }
    return 0;
}

int Check(QSvgRenderer& svg)
{
    const QIcon window = CArtwork::AppIcon();
    int nResult = 0;
    for (int nSize : kWindowSizes) {
        const QImage drawn = Render(svg, nSize);
        const QImage painted =
            window.pixmap(QSize(nSize, nSize)).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
        if (painted.size() != drawn.size()) {
            std::fprintf(stderr, "zelicons: the window has no %dx%d icon\n", nSize, nSize);
            return 1;
        }
        int nMax = 0;
        double dSum = 0;
        for (int y = 0; y < nSize; ++y) {
            const auto* pDrawn = reinterpret_cast<const QRgb*>(drawn.constScanLine(y));
            const auto* pPainted = reinterpret_cast<const QRgb*>(painted.constScanLine(y));
            for (int x = 0; x < nSize; ++x) {
                const int diffs[4] = {std::abs(qRed(pDrawn[x]) - qRed(pPainted[x])),
                                      std::abs(qGreen(pDrawn[x]) - qGreen(pPainted[x])),
                                      std::abs(qBlue(pDrawn[x]) - qBlue(pPainted[x])),
                                      std::abs(qAlpha(pDrawn[x]) - qAlpha(pPainted[x]))};
                for (int d : diffs) {
                    nMax = std::max(nMax, d);
                    dSum += d;
                }
            }
        }
        const double dMean = dSum / (4.0 * nSize * nSize);
        const bool bAlike = nMax <= kMaxChannelDiff && dMean <= kMaxMeanDiff;
        std::printf("%dx%d: largest channel difference %d, mean %.3f: %s\n", nSize, nSize, nMax, dMean,
                    bAlike ? "alike" : "DIFFERENT");
        if (!bAlike)
            nResult = 1;
    }
    return nResult;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const bool bCheck = argc == 3 && std::strcmp(argv[1], "--check") == 0;
    if (argc != 3) {
        std::fprintf(stderr, "usage: zelicons SVG OUTDIR | zelicons --check SVG\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    const QString svgPath = QString::fromLocal8Bit(argv[bCheck ? 2 : 1]);
    QSvgRenderer svg(svgPath);
    if (!svg.isValid()) {
        std::fprintf(stderr, "zelicons: %s is not a readable SVG image\n", svgPath.toLocal8Bit().constData());
        return 1;
    }
    return bCheck ? Check(svg) : WritePngs(svg, QString::fromLocal8Bit(argv[2]));
}
