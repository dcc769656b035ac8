// corva-graticules: draws the fifteen graticule bitmaps the display loads as
// backgrounds, 320 x 240 in the 16-colour palette, into the folder given.
//   corva-graticules <output folder>
// Everything is drawn pixel by pixel with our own small font, so the files come
// out the same on every machine, whatever fonts it has.
#include "protocol.h"
#include "surface.h"
#include <QDir>
#include <QImage>
#include <QString>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <vector>

namespace {

constexpr int W = 320;
constexpr int H = 240;

// Colours by palette number.
enum : uint8_t {
    Black = 0, DarkCyan = 3, Cyan = 11, Red = 12, Yellow = 14,
};
// The roles the colours play on every graticule.
constexpr uint8_t kMinor = DarkCyan;   // fine divisions
constexpr uint8_t kMajor = Cyan;       // reference lines, targets
constexpr uint8_t kText = Cyan;
constexpr uint8_t kAccent = Yellow;    // alignment and test levels
constexpr uint8_t kWarn = Red;         // limits, overload

// A 5 x 7 font, one string per row, '#' set.
const std::map<char, std::vector<const char*>>& font()
{
    static const std::map<char, std::vector<const char*>> f = {
        {'0', {".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."}},
        {'1', {"..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."}},
        {'2', {".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"}},
        {'3', {"#####", "...#.", "..#..", "...#.", "....#", "#...#", ".###."}},
        {'4', {"...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."}},
        {'5', {"#####", "#....", "####.", "....#", "....#", "#...#", ".###."}},
        {'6', {"..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."}},
        {'7', {"#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."}},
        {'8', {".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."}},
        {'9', {".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."}},
        {'-', {".....", ".....", ".....", ".###.", ".....", ".....", "....."}},
        {'+', {".....", "..#..", "..#..", "#####", "..#..", "..#..", "....."}},
        {'.', {".....", ".....", ".....", ".....", ".....", ".##..", ".##.."}},
        {'%', {"##...", "##..#", "...#.", "..#..", ".#...", "#..##", "...##"}},
        {' ', {".....", ".....", ".....", ".....", ".....", ".....", "....."}},
        {'A', {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
        {'B', {"####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."}},
        {'C', {".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."}},
        {'D', {"###..", "#..#.", "#...#", "#...#", "#...#", "#..#.", "###.."}},
        {'E', {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
        {'F', {"#####", "#....", "#....", "####.", "#....", "#....", "#...."}},
        {'G', {".###.", "#...#", "#....", "#.###", "#...#", "#...#", ".####"}},
        {'H', {"#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
        {'I', {".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."}},
        {'K', {"#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"}},
        {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
        {'M', {"#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"}},
        {'N', {"#...#", "#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#"}},
        {'O', {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
        {'P', {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."}},
        {'Q', {".###.", "#...#", "#...#", "#...#", "#.#.#", "#..#.", ".##.#"}},
        {'R', {"####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"}},
        {'S', {".####", "#....", "#....", ".###.", "....#", "....#", "####."}},
        {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
        {'U', {"#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
        {'V', {"#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."}},
        {'W', {"#...#", "#...#", "#...#", "#.#.#", "#.#.#", "#.#.#", ".#.#."}},
        {'Y', {"#...#", "#...#", ".#.#.", "..#..", "..#..", "..#..", "..#.."}},
        {'d', {"....#", "....#", ".##.#", "#..##", "#...#", "#...#", ".####"}},
        {'m', {".....", ".....", "##.#.", "#.#.#", "#.#.#", "#...#", "#...#"}},
        {'u', {".....", ".....", "#...#", "#...#", "#...#", "#..##", ".##.#"}},
    };
    return f;
}

// A 3 x 5 font for the numbers of the meter scales, which sit between bars.
const std::map<char, std::vector<const char*>>& smallFont()
{
    static const std::map<char, std::vector<const char*>> f = {
        {'0', {"###", "#.#", "#.#", "#.#", "###"}}, {'1', {".#.", "##.", ".#.", ".#.", "###"}},
        {'2', {"###", "..#", "###", "#..", "###"}}, {'3', {"###", "..#", ".##", "..#", "###"}},
        {'4', {"#.#", "#.#", "###", "..#", "..#"}}, {'5', {"###", "#..", "###", "..#", "###"}},
        {'6', {"###", "#..", "###", "#.#", "###"}}, {'7', {"###", "..#", "..#", ".#.", ".#."}},
        {'8', {"###", "#.#", "###", "#.#", "###"}}, {'9', {"###", "#.#", "###", "..#", "###"}},
        {'-', {"...", "...", "###", "...", "..."}}, {'+', {"...", ".#.", "###", ".#.", "..."}},
    };
    return f;
}

class Canvas {
public:
    Canvas() : img_(W, H, QImage::Format_Indexed8)
    {
        QList<QRgb> table;
        for (int i = 0; i < 16; ++i)
            table << Surface::paletteColour(i);
        img_.setColorTable(table);
        img_.fill(Black);
    }
    const QImage& image() const { return img_; }

    void px(int x, int y, uint8_t c)
    {
        if (x >= 0 && x < W && y >= 0 && y < H)
            img_.setPixel(x, y, c);
    }
    // Lines with an optional pattern: `on` pixels set, `off` pixels skipped.
    void hline(int x1, int x2, int y, uint8_t c, int on = 1, int off = 0)
    {
        for (int x = x1, i = 0; x <= x2; ++x, ++i)
            if (i % (on + off) < on)
                px(x, y, c);
    }
    void vline(int x, int y1, int y2, uint8_t c, int on = 1, int off = 0)
    {
        for (int y = y1, i = 0; y <= y2; ++y, ++i)
            if (i % (on + off) < on)
                px(x, y, c);
    }
    void line(int x1, int y1, int x2, int y2, uint8_t c, int on = 1, int off = 0)
    {
        const int dx = std::abs(x2 - x1), sx = x1 < x2 ? 1 : -1;
        const int dy = -std::abs(y2 - y1), sy = y1 < y2 ? 1 : -1;
        int err = dx + dy;
        for (int i = 0;; ++i) {
            if (i % (on + off) < on)
                px(x1, y1, c);
            if (x1 == x2 && y1 == y2)
                break;
            const int e2 = 2 * err;
            if (e2 >= dy) { err += dy; x1 += sx; }
            if (e2 <= dx) { err += dx; y1 += sy; }
        }
    }
    void rect(int x1, int y1, int x2, int y2, uint8_t c)
    {
        hline(x1, x2, y1, c);
        hline(x1, x2, y2, c);
        vline(x1, y1, y2, c);
        vline(x2, y1, y2, c);
    }
    void circle(int cx, int cy, int r, uint8_t c)
    {
        // Midpoint circle, all eight octants.
        int x = r, y = 0, err = 1 - r;
        while (x >= y) {
            const int pts[8][2] = {{x, y}, {y, x}, {-y, x}, {-x, y}, {-x, -y}, {-y, -x}, {y, -x}, {x, -y}};
            for (auto& p : pts)
                px(cx + p[0], cy + p[1], c);
            ++y;
            if (err < 0) {
                err += 2 * y + 1;
            } else {
                --x;
                err += 2 * (y - x) + 1;
            }
        }
    }
    void dottedCircle(int cx, int cy, int r, uint8_t c, double stepDegrees)
    {
        for (double a = 0; a < 360; a += stepDegrees)
            px(cx + int(std::lround(r * std::cos(a * M_PI / 180))), cy - int(std::lround(r * std::sin(a * M_PI / 180))), c);
    }
    static int textWidth(const QString& s) { return s.isEmpty() ? 0 : int(s.size()) * 6 - 1; }
    void text(int x, int y, const QString& s, uint8_t c)
    {
        for (QChar ch : s) {
            auto it = font().find(ch.toLatin1());
            if (it == font().end()) {
                std::fprintf(stderr, "corva-graticules: no glyph for '%c'\n", ch.toLatin1());
                std::exit(1);
            }
            for (int row = 0; row < 7; ++row)
                for (int col = 0; col < 5; ++col)
                    if (it->second[size_t(row)][col] == '#')
                        px(x + col, y + row, c);
            x += 6;
        }
    }
    static int smallWidth(const QString& s) { return s.isEmpty() ? 0 : int(s.size()) * 4 - 1; }
    // Small numerals centred on (x, y).
    void smallCentre(int x, int y, const QString& s, uint8_t c)
    {
        x -= smallWidth(s) / 2;
        y -= 2;
        for (QChar ch : s) {
            auto it = smallFont().find(ch.toLatin1());
            if (it == smallFont().end()) {
                std::fprintf(stderr, "corva-graticules: no small glyph for '%c'\n", ch.toLatin1());
                std::exit(1);
            }
            for (int row = 0; row < 5; ++row)
                for (int col = 0; col < 3; ++col)
                    if (it->second[size_t(row)][col] == '#')
                        px(x + col, y + row, c);
            x += 4;
        }
    }
    // Text whose right end is at x, centred on row y.
    void textRight(int x, int y, const QString& s, uint8_t c) { text(x - textWidth(s) + 1, y - 3, s, c); }
    void textCentre(int x, int y, const QString& s, uint8_t c) { text(x - textWidth(s) / 2, y - 3, s, c); }

private:
    QImage img_;
};

// ---- Waveform monitor scales ----------------------------------------------

struct WfmLine {
    double value;
    uint8_t colour;
    int on, off;        // pattern; 1, 0 solid
    QString label;      // empty: none
};

// A waveform graticule: horizontal level lines across the trace area, a
// vertical scale with fine ticks on the left edge, time ticks on the black line.
void drawWaveform(Canvas& cv, const QString& title, double (*row)(double), const std::vector<WfmLine>& lines,
                  double tickFrom, double tickTo, double fine, double coarse, double timeLineValue)
{
    constexpr int left = 26, right = 317;
    const int top = int(std::lround(row(tickTo))), bottom = int(std::lround(row(tickFrom)));
    for (const WfmLine& l : lines) {
        const int y = int(std::lround(row(l.value)));
        cv.hline(left, right, y, l.colour, l.on, l.off);
        if (!l.label.isEmpty())
            cv.textRight(left - 3, y, l.label, kText);
    }
    cv.vline(left, top, bottom, kMinor);
    cv.vline(right, top, bottom, kMinor);
    // Fine scale along both edges.
    for (double v = tickFrom; v <= tickTo + 1e-9; v += fine) {
        const int y = int(std::lround(row(v)));
        const bool big = std::fmod(std::abs(v - tickFrom) + 1e-9, coarse) < 1e-6;
        cv.hline(left, left + (big ? 5 : 2), y, kMajor);
        cv.hline(right - (big ? 5 : 2), right, y, kMajor);
    }
    // Time divisions: ten along the black-level line, with a centre mark.
    const int yt = int(std::lround(row(timeLineValue)));
    for (int i = 0; i <= 50; ++i) {
        const int x = left + int(std::lround(i * (right - left) / 50.0));
        const int len = i % 5 == 0 ? 3 : 1;
        cv.vline(x, yt - len, yt + len, kMajor);
    }
    const int xc = (left + right) / 2;
    cv.vline(xc, top, bottom, kMinor, 1, 3);
    cv.text(right - Canvas::textWidth(title) - 2, 2, title, kText);
}

void wfmEu(Canvas& cv)
{
    // 700 mV from black to white, sync to -300 mV.
    auto row = [](double mv) { return 176 - mv / 5.0; };
    std::vector<WfmLine> lines;
    for (int mv = -300; mv <= 800; mv += 100) {
        WfmLine l{double(mv), kMinor, 1, 2, QString::number(mv)};
        if (mv == 0 || mv == 700)
            l = {double(mv), kMajor, 1, 0, QString::number(mv)};
        if (mv == -300)
            l.on = 3, l.off = 2;
        lines.push_back(l);
    }
    lines.push_back({350, kAccent, 4, 3, {}});   // 50 %
    drawWaveform(cv, "mV EU", row, lines, -300, 800, 20, 100, 0);
}

void wfmIre(Canvas& cv)
{
    auto row = [](double ire) { return 180 - ire * 1.4; };
    std::vector<WfmLine> lines;
    for (int ire = -40; ire <= 110; ire += 10) {
        const bool labelled = ire % 20 == 0;
        WfmLine l{double(ire), kMinor, 1, 2, labelled ? QString::number(ire) : QString()};
        if (ire == 0 || ire == 100)
            l.colour = kMajor, l.on = 1, l.off = 0;
        if (ire == -40)
            l.on = 3, l.off = 2;
        lines.push_back(l);
    }
    lines.push_back({7.5, kAccent, 2, 2, {}});   // set-up
    drawWaveform(cv, "IRE", row, lines, -40, 110, 2, 10, 0);
}

void wfmDig(Canvas& cv)
{
    // Ten-bit codes: black 64, white 940, the protected limits 4 and 1019.
    auto row = [](double code) { return 224 - code * 0.2; };
    std::vector<WfmLine> lines = {
        {4, kWarn, 3, 2, "4"},       {64, kMajor, 1, 0, "64"},
        {283, kMinor, 1, 2, "283"},  {502, kMinor, 1, 2, "502"},
        {721, kMinor, 1, 2, "721"},  {940, kMajor, 1, 0, "940"},
        {1019, kWarn, 3, 2, "1019"},
    };
    drawWaveform(cv, "10-BIT", row, lines, 0, 1020, 20, 100, 64);
}

// ---- Vectorscope targets -----------------------------------------------------

struct Rgb {
    const char* name;
    double r, g, b;
};
const Rgb kBarColours[6] = {{"R", 1, 0, 0}, {"MG", 1, 0, 1}, {"B", 0, 0, 1},
                            {"CY", 0, 1, 1}, {"G", 0, 1, 0}, {"YL", 1, 1, 0}};

constexpr int cx = 160, cy = 120, kRing = 100;

struct Chroma {
    double u, v;   // horizontal, vertical
};
using Matrix = std::function<Chroma(const Rgb&, double level)>;

// Composite colour difference as PAL and NTSC carry it.
Chroma composite(const Rgb& c, double level)
{
    const double y = 0.299 * c.r + 0.587 * c.g + 0.114 * c.b;
    return {level * 0.493 * (c.b - y), level * 0.877 * (c.r - y)};
}
// Component colour difference with the given luma weights.
Matrix component(double kr, double kb)
{
    return [kr, kb](const Rgb& c, double level) {
        const double y = kr * c.r + (1 - kr - kb) * c.g + kb * c.b;
        return Chroma{level * (c.b - y) / (2 * (1 - kb)), level * (c.r - y) / (2 * (1 - kr))};
    };
}

QPoint place(Chroma ch, double scale)
{
    return {cx + int(std::lround(ch.u * scale)), cy - int(std::lround(ch.v * scale))};
}

// Bracket-cornered target box with a small inner tolerance square.
void target(Canvas& cv, QPoint p, int half, uint8_t c)
{
    const int a = half, k = 3;
    for (int sx : {-1, 1})
        for (int sy : {-1, 1}) {
            const int x = p.x() + sx * a, y = p.y() + sy * a;
            cv.hline(std::min(x, x - sx * k), std::max(x, x - sx * k), y, c);
            cv.vline(x, std::min(y, y - sy * k), std::max(y, y - sy * k), c);
        }
    cv.rect(p.x() - 1, p.y() - 1, p.x() + 1, p.y() + 1, c);
}

void vectorBase(Canvas& cv, const QString& title, const QString& uName, const QString& vName)
{
    cv.circle(cx, cy, kRing, kMinor);
    // Degree marks round the ring: every 5 degrees, longer every 10.
    for (int deg = 0; deg < 360; deg += 5) {
        const double a = deg * M_PI / 180;
        const int len = deg % 10 == 0 ? 4 : 2;
        for (int r = kRing - len; r <= kRing; ++r)
            cv.px(cx + int(std::lround(r * std::cos(a))), cy - int(std::lround(r * std::sin(a))), kMajor);
    }
    cv.hline(cx - kRing, cx + kRing, cy, kMinor);
    cv.vline(cx, cy - kRing, cy + kRing, kMinor);
    for (int d = -kRing + 10; d < kRing; d += 10) {
        if (d == 0)
            continue;
        const int len = d % 50 == 0 ? 3 : 1;
        cv.vline(cx + d, cy - len, cy + len, kMajor);
        cv.hline(cx - len, cx + len, cy + d, kMajor);
    }
    cv.dottedCircle(cx, cy, 10, kMinor, 30);
    cv.text(4, 4, title, kText);
    cv.text(cx + kRing + 6, cy - 10, uName, kText);
    cv.text(cx + 6, cy - kRing - 12, vName, kText);
}

void vectorTargets(Canvas& cv, const Matrix& m, double scale, bool labels, bool gamut)
{
    QPoint full[6];
    for (int i = 0; i < 6; ++i) {
        const Rgb& c = kBarColours[i];
        full[i] = place(m(c, 1.0), scale);
        const QPoint p75 = place(m(c, 0.75), scale);
        target(cv, p75, 6, kMajor);
        // 100 % bars: a small cross.
        cv.hline(full[i].x() - 2, full[i].x() + 2, full[i].y(), kMinor);
        cv.vline(full[i].x(), full[i].y() - 2, full[i].y() + 2, kMinor);
        if (labels) {
            // Label on the centre side, clear of the 100 % marks.
            const double dx = p75.x() - cx, dy = p75.y() - cy, len = std::hypot(dx, dy);
            const int lx = p75.x() - int(std::lround(dx / len * 16));
            const int ly = p75.y() - int(std::lround(dy / len * 16));
            cv.textCentre(lx, ly, c.name, kText);
        }
    }
    if (gamut)
        for (int i = 0; i < 6; ++i)   // the legal gamut: hexagon through the 100 % points
            cv.line(full[i].x(), full[i].y(), full[(i + 1) % 6].x(), full[(i + 1) % 6].y(), kWarn, 2, 3);
}

void vecPal(Canvas& cv)
{
    constexpr double scale = 150;
    vectorBase(cv, "PAL", "U", "V");
    vectorTargets(cv, composite, scale, true, false);
    // The V-switched line's targets, mirrored about the U axis.
    for (const Rgb& c : kBarColours) {
        Chroma ch = composite(c, 0.75);
        ch.v = -ch.v;
        const QPoint p = place(ch, scale);
        cv.rect(p.x() - 2, p.y() - 2, p.x() + 2, p.y() + 2, kMinor);
    }
    // Burst at 135 and 225 degrees.
    for (double deg : {135.0, 225.0}) {
        const double a = deg * M_PI / 180;
        cv.line(cx + int(std::lround(20 * std::cos(a))), cy - int(std::lround(20 * std::sin(a))),
                cx + int(std::lround(kRing * 0.32 * std::cos(a))), cy - int(std::lround(kRing * 0.32 * std::sin(a))), kAccent);
    }
    cv.text(4, 228, "75% BARS", kText);
}

void vecNtsc(Canvas& cv)
{
    constexpr double scale = 150;
    vectorBase(cv, "NTSC", "B-Y", "R-Y");
    vectorTargets(cv, composite, scale, true, false);
    // I and Q axes, 33 degrees round from the colour-difference axes.
    for (double deg : {33.0, 123.0}) {
        const double a = deg * M_PI / 180;
        const int dx = int(std::lround(kRing * std::cos(a))), dy = int(std::lround(kRing * std::sin(a)));
        cv.line(cx - dx, cy + dy, cx + dx, cy - dy, kMinor, 2, 2);
        cv.textCentre(cx + int(std::lround((kRing + 8) * std::cos(a))), cy - int(std::lround((kRing + 8) * std::sin(a))),
                      deg < 90 ? "Q" : "I", kText);
    }
    // Burst on the -(B-Y) axis.
    cv.hline(cx - int(kRing * 0.28), cx - 20, cy - 1, kAccent);
    cv.hline(cx - int(kRing * 0.28), cx - 20, cy + 1, kAccent);
    cv.text(4, 228, "75% BARS", kText);
}

void vecComponent(Canvas& cv, const QString& title, double kr, double kb, bool digital)
{
    const double scale = 160;
    vectorBase(cv, title, digital ? "CB" : "PB", digital ? "CR" : "PR");
    vectorTargets(cv, component(kr, kb), scale, true, digital);
    if (digital)
        cv.text(4, 228, "GAMUT", kWarn);
    else
        cv.text(4, 228, "700 mV", kText);
}

// ---- Audio meter scales -------------------------------------------------------

// Bars stand on row protocol::kLevelBarBase (206) and rise towards row 0; each scale maps its marks to
// rows through anchors (value, row) joined piecewise linearly.
struct Mark {
    double value;
    QString label;   // empty: tick only
    uint8_t colour = kMajor;
};
struct Scale {
    QString title;
    std::vector<std::pair<double, double>> anchors;   // increasing values
    std::vector<Mark> marks;
};

int audioRow(const Scale& s, double v)
{
    const auto& a = s.anchors;
    if (v <= a.front().first)
        return int(std::lround(a.front().second));
    for (size_t i = 1; i < a.size(); ++i)
        if (v <= a[i].first) {
            const double t = (v - a[i - 1].first) / (a[i].first - a[i - 1].first);
            return int(std::lround(a[i - 1].second + t * (a[i].second - a[i - 1].second)));
        }
    return int(std::lround(a.back().second));
}

void meterPair(Canvas& cv, const Scale& s, int bar1, int bar2)
{
    // bar1 and bar2: the left edges of the two 5-pixel bars. Ticks outside
    // the pair and beside the inner edges, numbers between the bars.
    const int top = audioRow(s, s.anchors.back().first);
    constexpr int base = protocol::kLevelBarBase;
    cv.vline(bar1 - 2, top, base, kMinor);
    cv.vline(bar2 + 6, top, base, kMinor);
    cv.hline(bar1 - 2, bar1 + 6, base + 1, kMinor);
    cv.hline(bar2 - 2, bar2 + 6, base + 1, kMinor);
    int lastLabel = -100;
    for (const Mark& m : s.marks) {
        const int y = audioRow(s, m.value);
        cv.hline(bar1 - 5, bar1 - 2, y, m.colour);
        cv.hline(bar2 + 6, bar2 + 9, y, m.colour);
        cv.px(bar1 + 6, y, m.colour);
        cv.px(bar2 - 2, y, m.colour);
        if (!m.label.isEmpty() && std::abs(y - lastLabel) >= 7) {
            cv.smallCentre((bar1 + 5 + bar2) / 2, y, m.label, m.colour == kMinor ? kText : m.colour);
            lastLabel = y;
        }
    }
}

void audio(Canvas& cv, const Scale& s)
{
    const auto& bars = protocol::kLevelBars;
    meterPair(cv, s, bars[0].left, bars[1].left);
    meterPair(cv, s, bars[2].left, bars[3].left);
    cv.textCentre(31, 216, "1 2", kText);
    cv.textCentre(287, 216, "3 4", kText);

    // Phase display between the meters: the L, R, M and S axes of a
    // goniometer and its boundary diamond.
    constexpr int gx = 160, gy = 104, gr = 84;
    cv.line(gx, gy - gr, gx + gr, gy, kMinor);
    cv.line(gx + gr, gy, gx, gy + gr, kMinor);
    cv.line(gx, gy + gr, gx - gr, gy, kMinor);
    cv.line(gx - gr, gy, gx, gy - gr, kMinor);
    cv.vline(gx, gy - gr, gy + gr, kMinor, 2, 2);
    cv.hline(gx - gr, gx + gr, gy, kMinor, 2, 2);
    const int d = int(gr * 0.5);
    cv.line(gx - d, gy - d, gx + d, gy + d, kMinor, 1, 3);
    cv.line(gx + d, gy - d, gx - d, gy + d, kMinor, 1, 3);
    cv.textCentre(gx, gy - gr - 6, "M", kText);
    cv.textCentre(gx + gr + 7, gy, "S", kText);
    cv.textCentre(gx - d - 6, gy - d - 6, "L", kText);
    cv.textCentre(gx + d + 6, gy - d - 6, "R", kText);

    // Correlation scale under it.
    constexpr int y = 206, x1 = 80, x2 = 240;
    cv.hline(x1, x2, y, kMinor);
    for (int i = 0; i <= 10; ++i) {
        const int x = x1 + i * (x2 - x1) / 10;
        cv.vline(x, y - (i % 5 == 0 ? 3 : 1), y, kMajor);
    }
    cv.textCentre(x1, y + 8, "-1", kText);
    cv.textCentre((x1 + x2) / 2, y + 8, "0", kText);
    cv.textCentre(x2, y + 8, "+1", kText);

    cv.textCentre(160, 232, s.title, kText);
}

Scale bbc()
{
    // Marks 1 to 7: 4 dB apart, 6 dB between marks 1 and 2.
    Scale s{"BBC PPM", {{1, 206}, {2, 176}, {7, 16}}, {}};
    for (int m = 1; m <= 7; ++m)
        s.marks.push_back({double(m), QString::number(m), m == 4 ? kAccent : m == 6 ? kWarn : kMajor});
    for (double m = 2.5; m < 7; m += 1)
        s.marks.push_back({m, {}, kMinor});
    return s;
}

Scale vu()
{
    Scale s{"VU", {{-20, 206}, {-10, 150}, {-3, 80}, {0, 50}, {3, 16}}, {}};
    const double ticks[] = {-20, -10, -7, -5, -3, -2, -1, 0, 1, 2, 3};
    for (double t : ticks) {
        const bool labelled = t == -20 || t == -10 || t == -7 || t == -5 || t == -3 || t == 0 || t == 3;
        QString l = labelled ? (t > 0 ? "+" : "") + QString::number(t) : QString();
        s.marks.push_back({t, l, t > 0 ? kWarn : t == 0 ? kAccent : kMajor});
    }
    return s;
}

Scale ebu()
{
    Scale s{"EBU PPM", {{-12, 206}, {12, 16}}, {}};
    for (int db = -12; db <= 12; db += 2) {
        const bool labelled = db % 4 == 0;
        const uint8_t c = db == 0 ? kAccent : db > 8 ? kWarn : db % 4 == 0 ? kMajor : kMinor;
        s.marks.push_back({double(db), labelled ? (db > 0 ? "+" : "") + QString::number(db) : QString(), c});
    }
    return s;
}

Scale nordic()
{
    Scale s{"NORDIC", {{-36, 206}, {9, 16}}, {}};
    for (int db = -36; db <= 9; db += 3) {
        const bool labelled = db % 6 == 0 || db == 9;
        const uint8_t c = db == 0 ? kAccent : db > 0 ? kWarn : db % 6 == 0 ? kMajor : kMinor;
        s.marks.push_back({double(db), labelled ? (db > 0 ? "+" : "") + QString::number(db) : QString(), c});
    }
    return s;
}

Scale digi()
{
    Scale s{"dBFS", {{-60, 206}, {-20, 86}, {0, 16}}, {}};
    const int labelled[] = {0, -6, -9, -12, -18, -20, -30, -40, -50, -60};
    for (int db = -60; db <= 0; ++db) {
        bool hasLabel = false;
        for (int l : labelled)
            hasLabel |= l == db;
        // Fine marks every 2 dB near the top, every 10 dB below -20.
        if (!hasLabel && (db > -20 ? db % 2 != 0 : db % 10 != 0))
            continue;
        const uint8_t c = db == -18 ? kAccent : db >= -9 ? kWarn : hasLabel ? kMajor : kMinor;
        s.marks.push_back({double(db), hasLabel ? QString::number(db) : QString(), c});
    }
    return s;
}

Scale din()
{
    Scale s{"DIN", {{-50, 206}, {-30, 156}, {-10, 86}, {0, 36}, {5, 16}}, {}};
    const int ticks[] = {-50, -45, -40, -35, -30, -25, -20, -15, -10, -7, -5, -3, -2, -1, 0, 1, 2, 3, 4, 5};
    for (int t : ticks) {
        const bool labelled = t == -50 || t == -40 || t == -30 || t == -20 || t == -10 || t == -5 || t == 0 || t == 5;
        const uint8_t c = t == 0 ? kAccent : t > 0 ? kWarn : labelled ? kMajor : kMinor;
        s.marks.push_back({double(t), labelled ? (t > 0 ? "+" : "") + QString::number(t) : QString(), c});
    }
    return s;
}

// What each display mode's graticule shows; the file names come with the modes.
struct Graticule {
    int mode;
    std::function<void(Canvas&)> draw;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: corva-graticules <output folder>\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(out.path())) {
        std::fprintf(stderr, "corva-graticules: cannot create %s\n", argv[1]);
        return 1;
    }
    const Graticule all[] = {
        {1, wfmEu},
        {2, wfmIre},
        {3, wfmDig},
        {4, vecPal},
        {5, vecNtsc},
        {6, [](Canvas& c) { vecComponent(c, "SD 601", 0.299, 0.114, false); }},
        {7, [](Canvas& c) { vecComponent(c, "HD 709", 0.2126, 0.0722, false); }},
        {8, [](Canvas& c) { vecComponent(c, "SD DIG", 0.299, 0.114, true); }},
        {9, [](Canvas& c) { vecComponent(c, "HD DIG", 0.2126, 0.0722, true); }},
        {11, [](Canvas& c) { audio(c, bbc()); }},
        {12, [](Canvas& c) { audio(c, vu()); }},
        {13, [](Canvas& c) { audio(c, ebu()); }},
        {14, [](Canvas& c) { audio(c, nordic()); }},
        {15, [](Canvas& c) { audio(c, digi()); }},
        {16, [](Canvas& c) { audio(c, din()); }},
    };
    // Every mode with a bitmap gets one drawn: the build expects them all.
    for (int mode = 0; mode < protocol::kModes; ++mode) {
        const char* file = protocol::graticuleFile(mode);
        const auto g = std::find_if(std::begin(all), std::end(all), [&](const Graticule& x) { return x.mode == mode; });
        if (!file || g == std::end(all)) {
            if (file || g != std::end(all)) {
                std::fprintf(stderr, "corva-graticules: display mode %d has %s\n", mode,
                             file ? "a file but no drawing" : "a drawing but no file");
                return 1;
            }
            continue;
        }
        Canvas cv;
        g->draw(cv);
        const QString path = out.filePath(QString::fromLatin1(file));
        if (!cv.image().save(path, "BMP")) {
            std::fprintf(stderr, "corva-graticules: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
