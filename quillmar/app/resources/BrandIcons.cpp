// Draws the brand mark into the icons the desktop shows for the installed
// application: PNGs of the sizes given and one scalable SVG.
//   quillmar_brand_icons OUTDIR SIZE...
#include "quillmar/app/style/BrandMark.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>

#include <cstdio>

namespace {

QString svgPath(const QPainterPath& path)
{
    QString d;
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        const QString point = QStringLiteral("%1 %2 ").arg(e.x, 0, 'f', 2).arg(e.y, 0, 'f', 2);
        switch (e.type) {
        case QPainterPath::MoveToElement: d += QLatin1Char('M') + point; break;
        case QPainterPath::LineToElement: d += QLatin1Char('L') + point; break;
        case QPainterPath::CurveToElement: d += QLatin1Char('C') + point; break;
        case QPainterPath::CurveToDataElement: d += point; break;
        }
    }
    return d.trimmed();
}

bool writeSvg(const QString& file)
{
    using quillmar::BrandMark;
    constexpr double side = 128;
    const BrandMark::Outlines o = BrandMark::outlines(side);
    // The border as the widget draws it at rest: thick, faint amber, inside the card.
    BrandMark mark(side);
    const double bw = mark.borderWidth();
    const QString svg =
        QStringLiteral(
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"128\" height=\"128\" viewBox=\"0 0 128 128\">\n"
            "  <path d=\"%1\" fill=\"%2\"/>\n"
            "  <rect x=\"%3\" y=\"%3\" width=\"%4\" height=\"%4\" rx=\"%5\" fill=\"none\" stroke=\"%6\" "
            "stroke-opacity=\"%7\" stroke-width=\"%8\"/>\n"
            "  <path d=\"%9\" fill=\"%10\" fill-rule=\"%12\"/>\n"
            "  <path d=\"%11\" fill=\"%6\"/>\n"
            "</svg>\n")
            .arg(svgPath(o.card), BrandMark::cardBg().name())
            .arg(bw / 2, 0, 'f', 2)
            .arg(side - bw, 0, 'f', 2)
            .arg(o.radius - bw / 2, 0, 'f', 2)
            .arg(BrandMark::amber().name())
            .arg(mark.borderOpacity(), 0, 'f', 2)
            .arg(bw, 0, 'f', 2)
            .arg(svgPath(o.letters), BrandMark::ink().name(), svgPath(o.cursor),
                 o.letters.fillRule() == Qt::WindingFill ? QStringLiteral("nonzero") : QStringLiteral("evenodd"));
    QFile out(file);
    return out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(svg.toUtf8()) == svg.toUtf8().size();
}

bool writePng(const QString& file, int side)
{
    quillmar::BrandMark mark(side);
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    mark.render(&image, {}, {}, QWidget::DrawChildren);
    return image.save(file, "PNG");
}

}  // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: quillmar_brand_icons OUTDIR SIZE...\n");
        return 2;
    }
    const QDir out(args.at(1));
    if (!out.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "quillmar_brand_icons: cannot make %s\n", qPrintable(args.at(1)));
        return 1;
    }
    if (!writeSvg(out.filePath(QStringLiteral("quillmar.svg"))))
        return 1;
    for (qsizetype i = 2; i < args.size(); ++i) {
        bool ok = false;
        const int side = args.at(i).toInt(&ok);
        if (!ok || side < 16 || side > 1024 ||
            !writePng(out.filePath(QStringLiteral("quillmar-%1.png").arg(side)), side)) {
            std::fprintf(stderr, "quillmar_brand_icons: cannot draw size %s\n", qPrintable(args.at(i)));
            return 1;
        }
    }
    return 0;
}
