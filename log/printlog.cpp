#include "printlog.h"
#include "statuslines.h"
#include <QFont>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QTextLayout>

namespace {
// Lays lines down the page top to bottom, starting a new page when the next
// line would not fit. Long lines wrap at the page width.
class PageWriter {
public:
    PageWriter(QPagedPaintDevice& device, QPainter& painter) : device_(device), painter_(painter) {}

    bool printLine(const QString& text, const QFont& font)
    {
        const qreal width = device_.width();
        const qreal height = device_.height();
        QTextLayout layout(text, font, &device_);
        QTextOption opt;
        opt.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(opt);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLeadingIncluded(true);
            line.setLineWidth(width);
        }
        layout.endLayout();
        for (int i = 0; i < layout.lineCount(); ++i) {
            QTextLine line = layout.lineAt(i);
            const qreal h = line.height();
            // A line taller than a whole page still goes on a page of its own.
            if (y_ > 0 && y_ + h > height) {
                if (!device_.newPage())
                    return false;
                y_ = 0;
            }
            line.draw(&painter_, QPointF(0, y_ - line.y()));
            y_ += h;
        }
        return true;
    }

private:
    QPagedPaintDevice& device_;
    QPainter& painter_;
    qreal y_ = 0;
};
}

bool printLogDocument(QPagedPaintDevice& device, const QString& text, const std::function<void()>& discard)
{
    QPainter painter;
    if (!painter.begin(&device))
        return false;
    PageWriter out(device, painter);

    // The page opens with an empty line in the device's own font.
    bool ok = out.printLine(QString(), painter.font());

    QFont title(QStringLiteral("Arial"));
    title.setPointSizeF(18.0);
    title.setBold(true);
    ok = ok && out.printLine(QString::fromLatin1(kPrintTitle), title);

    QFont body(QStringLiteral("Arial"));
    body.setPointSizeF(12.0);
    body.setBold(false);
    // As the status box shows it. The break after the last line is the line
    // end every printed line gets anyway.
    QStringList lines = statusLines(text);
    if (lines.size() > 1 && lines.last().isEmpty())
        lines.removeLast();
    for (const QString& line : lines) {
        if (!ok)
            break;
        ok = out.printLine(line, body);
    }
    if (!ok && discard)
        discard();
    return painter.end() && ok;
}
