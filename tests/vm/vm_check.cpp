// What the program wrote on the test machine, against the instrument's frames
// decoded here from the wire format and its log records. The frames come from
// the serial line's trace ("Write F2 F0 screen N mode M") or the drop-in
// library's ("Write F2 F0", modes as CORVASIM_MODES says), after line FROM.
//   vm_check picture FILE TRACE FROM   one capture: the display after those frames
//   vm_check frames DIR TRACE FROM     watch: each frame-NNNNNN.png whole and exact
//   vm_check log FILE                  corvactl log: the status text, CR LF and all
// Exit 0 when equal; else the first difference on standard error, and the
// picture due beside the one written (FILE.want.png).
#include "instrument.h"
#include "log_expect.h"
#include "screen_expect.h"
#include <QDir>
#include <QFile>
#include <QCoreApplication>
#include <QFileInfo>
#include <QRegularExpression>
#include <cstdio>

namespace {

struct Frame {
    int index;
    uint8_t mode;
};

QList<Frame> framesFrom(const QString& trace, int from)
{
    QFile f(trace);
    QList<Frame> out;
    if (!f.open(QIODevice::ReadOnly))
        return out;
    static const QRegularExpression re(QStringLiteral("^Write F2 F0 screen (\\d+) mode ([0-9A-F]{2})"));
    // The drop-in library's trace names no frame: its frames are counted,
    // a failed write starting none.
    static const QRegularExpression plain(QStringLiteral("^Write F2 F0(?!.*\\[status)"));
    const SimConfig cfg = SimConfig::fromEnvironment();
    int counted = 0;
    for (int line = 1; !f.atEnd(); ++line) {
        const QString text = QString::fromLatin1(f.readLine());
        if (const auto m = re.match(text); m.hasMatch()) {
            if (line > from)
                out.push_back({m.captured(1).toInt(), uint8_t(m.captured(2).toInt(nullptr, 16))});
        } else if (plain.match(text).hasMatch()) {
            if (line > from)
                out.push_back({counted, Instrument::modeByteFor(cfg, counted)});
            ++counted;
        }
    }
    return out;
}

void draw(expect::Model& model, const Frame& f)
{
    QList<QByteArray> blocks;
    for (int b = 0; b < 5; ++b)
        blocks << Instrument::screenBlock(f.index, b, f.mode);
    model.frame(f.mode, blocks);
}

// The picture that was due goes beside the one that differs, to look at.
int differs(const QString& what, const QString& why, const QImage& want = {})
{
    if (!want.isNull())
        want.save(what + QStringLiteral(".want.png"));
    std::fprintf(stderr, "%s: %s\n", qPrintable(what), qPrintable(why));
    return 1;
}

int picture(const QString& file, const QList<Frame>& frames)
{
    if (frames.isEmpty())
        return differs(file, QStringLiteral("no frame in the trace"));
    expect::Model model;
    for (const Frame& f : frames)
        draw(model, f);
    const QString d = expect::difference(QImage(file).convertToFormat(QImage::Format_RGB32), model.display);
    return d.isEmpty() ? 0 : differs(file, d, model.display);
}

// As watch writes them: after each frame, but the first when it shows level
// bars that have no levels yet.
// The index names each frame of the series in order: a file, or a line
// without one for a frame whose picture was not written (shifted, or with
// nothing of a picture); "instrument lost" and "back" stand for none.
int frames(const QString& dir, const QList<Frame>& frames)
{
    QFile index(QDir(dir).filePath(QStringLiteral("index.csv")));
    if (!index.open(QIODevice::ReadOnly))
        return differs(dir, QStringLiteral("no index.csv"));
    index.readLine();
    expect::Model model;
    int written = 0;
    qsizetype next = 0;
    if (!frames.isEmpty() && (frames[0].mode & 31) > 10)
        draw(model, frames[next++]);   // the first frame only brings the levels
    while (!index.atEnd()) {
        const QStringList row = QString::fromUtf8(index.readLine()).trimmed().split(u',');
        const QString name = row.value(0), outcome = row.value(5);
        if (name.isEmpty() && (outcome.startsWith(QStringLiteral("instrument")) || outcome.isEmpty()))
            continue;
        if (next >= frames.size())
            return differs(dir, QStringLiteral("more frames in the index than the instrument sent"));
        draw(model, frames[next++]);
        if (name.isEmpty())
            continue;
        const QString file = QDir(dir).filePath(name);
        if (const QString d = expect::difference(QImage(file).convertToFormat(QImage::Format_RGB32), model.display); !d.isEmpty())
            return differs(file, d, model.display);
        ++written;
    }
    const int files = int(QDir(dir).entryList({QStringLiteral("frame-*")}, QDir::Files).size());
    if (written == 0 || files != written)
        return differs(dir, QStringLiteral("%1 files, %2 of them frames as the instrument sent them").arg(files).arg(written));
    std::printf("%d\n", written);
    return 0;
}

int text(const QString& file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return differs(file, f.errorString());
    const QByteArray got = f.readAll();
    const SimConfig cfg;
    QString want = logShown(cfg.logRecords, [&](int i) { return Instrument::logRecord(i, cfg); }) + kEndOfLog;
    if (got == want.toLatin1())
        return 0;
    qsizetype at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at].toLatin1())
        ++at;
    return differs(file, QStringLiteral("differs from byte %1 on: \"%2\", want \"%3\"")
                             .arg(at).arg(QString::fromLatin1(got.mid(at, 40)), want.mid(at, 40)));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList a = app.arguments().mid(1);
    for (int i = 1; i < a.size() && i < 3; ++i)
        a[i] = QFileInfo(a[i]).absoluteFilePath();
    // The expected display loads the graticules by name.
    QDir::setCurrent(CORVA_GRATICULE_DIR);
    if (a.size() == 4 && a[0] == u"picture")
        return picture(a[1], framesFrom(a[2], a[3].toInt()));
    if (a.size() == 4 && a[0] == u"frames")
        return frames(a[1], framesFrom(a[2], a[3].toInt()));
    if (a.size() == 2 && a[0] == u"log")
        return text(a[1]);
    std::fprintf(stderr, "usage: vm_check picture FILE TRACE FROM | frames DIR TRACE FROM | log FILE\n");
    return 2;
}
