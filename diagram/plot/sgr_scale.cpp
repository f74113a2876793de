// Line attributes, number labels and the scale: its range, the mapping
// between values and pixels, the tick grid, scrolling, painting and the
// persisted form.
#include "diagram/plot/sgr_scale.h"

#include <QColor>
#include <QFontMetrics>
#include <QPainter>
#include <QPen>
#include <QString>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "common/QxFormat.h"

QColor ToQColor(TColor c) {
  return QColor((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF);
}

// ---- line attributes ----

void Tsp_CustomLineAttr::Changed() {
  if (onChange_) onChange_();
}
void Tsp_CustomLineAttr::SetColor(TColor c) {
  color_ = c;
  Changed();
}
void Tsp_CustomLineAttr::SetStyle(TPenStyle s) {
  style_ = s;
  Changed();
}
void Tsp_CustomLineAttr::SetWidth(uint16_t w) {
  width_ = w;
  Changed();
}
void Tsp_CustomLineAttr::SetVisible(bool v) {
  visible_ = v;
  Changed();
}
void Tsp_CustomLineAttr::Assign(const Tsp_CustomLineAttr& o) {
  color_ = o.color_;
  style_ = o.style_;
  width_ = o.width_;
  visible_ = o.visible_;
}
bool Tsp_CustomLineAttr::SameAs(const Tsp_CustomLineAttr& o) const {
  return color_ == o.color_ && style_ == o.style_ && width_ == o.width_ && visible_ == o.visible_;
}

static Qt::PenStyle QtStyle(TPenStyle s) {
  switch (s) {
    case psDash:
      return Qt::DashLine;
    case psDot:
      return Qt::DotLine;
    case psDashDot:
      return Qt::DashDotLine;
    case psDashDotDot:
      return Qt::DashDotDotLine;
    case psClear:
      return Qt::NoPen;
    default:
      return Qt::SolidLine;
  }
}

QPen Tsp_CustomLineAttr::Pen() const {
  QPen pen(ToQColor(color_));
  pen.setStyle(QtStyle(style_));
  pen.setWidth(width_);
  return pen;
}
void Tsp_CustomLineAttr::SetPen(QPainter& canvas) const {
  canvas.setCompositionMode(QPainter::CompositionMode_SourceOver);
  canvas.setPen(Pen());
}

// ---- number labels ----

std::string FormatNumberLabel(const std::string& fmt, double v) {
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
  size_t firstPh = fmt.find_first_of("0#"), lastPh = fmt.find_last_of("0#");
  if (firstPh == std::string::npos) return fmt;
  std::string prefix = fmt.substr(0, firstPh), suffix = fmt.substr(lastPh + 1);
  std::string body = fmt.substr(firstPh, lastPh - firstPh + 1);
  size_t dot = body.find('.');
  std::string ip = body.substr(0, dot), dp = dot == std::string::npos ? "" : body.substr(dot + 1);
  int minInt = static_cast<int>(std::count(ip.begin(), ip.end(), '0'));
  int maxDec = static_cast<int>(std::count(dp.begin(), dp.end(), '0') +
                                std::count(dp.begin(), dp.end(), '#'));
  // Decimals written with '0' are always shown, up to the last '0'.
  int minDec = 0;
  {
    int k = 0;
    for (char c : dp) {
      if (c == '0' || c == '#') ++k;
      if (c == '0') minDec = k;
    }
  }
  maxDec = std::min(maxDec, 30);
  // to_chars, not printf: the process locale (set from the environment at
  // start-up) may write a decimal comma, which the digit split below would
  // miss. The user's separator is put in afterwards.
  char buf[400];
  if (std::fabs(v) >= 1e300) {
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, maxDec);
    std::string e(buf, r.ptr);
    std::replace(e.begin(), e.end(), '.', FormatSettings().DecimalSeparator);
    return prefix + e + suffix;
  }
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, maxDec);
  std::string s(buf, r.ec == std::errc() ? r.ptr : buf);
  bool neg = !s.empty() && s[0] == '-';
  if (neg) s.erase(0, 1);
  size_t p = s.find('.');
  std::string intPart = s.substr(0, p), decPart = p == std::string::npos ? "" : s.substr(p + 1);
  while (static_cast<int>(decPart.size()) > minDec && !decPart.empty() && decPart.back() == '0')
    decPart.pop_back();
  // Leading zeros of the integer part only as far as '0' placeholders ask.
  size_t nz = intPart.find_first_not_of('0');
  intPart = nz == std::string::npos ? "" : intPart.substr(nz);
  while (static_cast<int>(intPart.size()) < minInt) intPart.insert(0, "0");
  std::string out = intPart;
  if (!decPart.empty()) out += FormatSettings().DecimalSeparator + decPart;
  if (out.empty()) out = "0";
  bool allZero = out.find_first_of("123456789") == std::string::npos;
  if (neg && !allZero) out.insert(0, "-");
  return prefix + out + suffix;
}

// ---- scale ----

namespace {
int ClampPixel(double q) {
  if (std::isnan(q)) return -MaxPixelCoord;
  if (q > MaxPixelCoord) return MaxPixelCoord;
  if (q < -MaxPixelCoord) return -MaxPixelCoord;
  return static_cast<int>(std::nearbyint(q));
}
// Integer part of a double that may be far out of int range.
long long ClampLL(double v) {
  if (std::isnan(v)) return 0;
  return static_cast<long long>(std::max(-1e9, std::min(1e9, v)));
}
}  // namespace

Tsp_Scale::Tsp_Scale(uint32_t flags) : flags_(flags) {
  SetMinMax(0, 10);
}

void Tsp_Scale::SetMinMax(double a, double b) {
  if (!std::isfinite(a) || !std::isfinite(b)) return;
  double mn = std::min(a, b), mx = std::max(a, b);
  if (mn == mx) {
    double v = mn;
    if (std::fabs(v) < 10) {
      mx = v + 1;
      mn = mx - 1;
    } else {
      mx = v + std::fabs(v) / 10;
      mn = mx - std::fabs(mx) / 10;
    }
  }
  double span = mx - mn;
  if (!std::isfinite(mx) || !std::isfinite(span) || !(span > 0)) return;
  // Decade in extended precision, rounded to double before flooring.
  long double q = std::log(static_cast<long double>(span)) / 2.30258509299405L;
  double d = std::floor(static_cast<double>(q));
  double factor = d <= 0 ? std::pow(10.0, 1 - d) : 1 / std::pow(10.0, d - 1);
  if (!std::isfinite(factor) || !(factor > 0) || !std::isfinite(mn * factor) ||
      !std::isfinite(mx * factor))
    return;
  min_ = mn;
  max_ = mx;
  span_ = span;
  factor_ = factor;
  first_ = std::ceil(min_ * factor_);
  last_ = std::floor(max_ * factor_);
  CalcMapping();
  CalcTicks();
}

void Tsp_Scale::SetLinePos(int x, int y, int length) {
  if (length == 0) length = 1;
  if (length < 0) length = length == INT32_MIN ? INT32_MAX : -length;
  if (x == x_ && y == y_ && length == length_) return;
  x_ = x;
  y_ = y;
  length_ = length;
  CalcMapping();
  CalcTickPositions();
}

void Tsp_Scale::CalcMapping() {
  if (!Inversed()) {
    originVal_ = min_;
    ppu_ = length_ / span_;
  } else {
    originVal_ = max_;
    ppu_ = -length_ / span_;
  }
  if (IsVertical()) {
    originPix_ = y_;
    ppu_ = -ppu_;
  } else {
    originPix_ = x_;
  }
}

int Tsp_Scale::ValueToPixel(double v) const {
  return ClampPixel((v - originVal_) * ppu_ + originPix_);
}

double Tsp_Scale::PixelToValue(int p) const {
  if (ppu_ == 0) return originVal_;
  return (p - originPix_) / ppu_ + originVal_;
}

void Tsp_Scale::SetFlag(uint32_t bit, bool on) {
  if (on)
    flags_ |= bit;
  else
    flags_ &= ~bit;
}

void Tsp_Scale::SetTicksCountRaw(int n) {
  ticksCount_ = std::max(0, std::min(MaxTicks, n));
  CalcTicks();
}

static bool RoundMode(uint32_t flags) {
  return !(flags & (sfNoTicksLabel | sfNoTicksAdjusted));
}

TScaleTicks CalcScaleTicks(int requested, bool round, bool inversed, double first, double last,
                           double factor, int step) {
  TScaleTicks t;
  t.Count = requested;
  t.Step = step;
  if (t.Count <= 0) return t;
  if (!round) {
    for (int i = 0; i < t.Count; ++i)
      t.Values[i] = t.Count < 2 ? i : static_cast<double>(i) / (t.Count - 1);
    return t;
  }
  long long n = ClampLL(std::nearbyint(last - first));
  if (n < 0) n = 0;
  if (requested == 1) {
    // A zero step would divide by zero when scrolling.
    t.Step = static_cast<int>(std::max(1LL, n));
    t.Count = 1;
  } else {
    t.Step = static_cast<int>(std::max(1LL, n / (requested - 1)));
    t.Count = static_cast<int>(std::min<long long>(MaxTicks, n / t.Step + 1));
  }
  for (int i = 0; i < t.Count; ++i)
    t.Values[i] = inversed ? (last - static_cast<double>(i) * t.Step) / factor
                           : (first + static_cast<double>(i) * t.Step) / factor;
  return t;
}

void Tsp_Scale::CalcTicks() {
  const TScaleTicks t =
      CalcScaleTicks(ticksCount_, RoundMode(flags_), Inversed(), first_, last_, factor_, step_);
  ticksNum_ = t.Count;
  step_ = t.Step;
  std::copy(t.Values, t.Values + t.Count, ticks_);
  CalcTickPositions();
}

void Tsp_Scale::CalcTickPositions() {
  for (int i = 0; i < ticksNum_; ++i) {
    if (RoundMode(flags_)) {
      tickPos_[i] = static_cast<int16_t>(ValueToPixel(ticks_[i]));
    } else {
      int off = ClampPixel(length_ * ticks_[i]);
      tickPos_[i] = static_cast<int16_t>(
          ClampPixel(IsVertical() ? originPix_ - off : originPix_ + static_cast<double>(off)));
    }
  }
}

int Tsp_Scale::TickPos(int i) const {
  return i >= 0 && i < ticksNum_ ? tickPos_[i] : 0;
}

double Tsp_Scale::TickValue(int i) const {
  if (i < 0 || i >= ticksNum_) return 0;
  if (RoundMode(flags_)) return ticks_[i];
  return Inversed() ? originVal_ - span_ * ticks_[i] : originVal_ + span_ * ticks_[i];
}

void Tsp_Scale::ScrollByPixels(int p) {
  if (ppu_ == 0) return;
  ScrollByValue(p / ppu_);
}

void Tsp_Scale::ScrollByValue(double delta) {
  if (delta == 0 || !std::isfinite(delta)) return;
  double nmin = min_ + delta, nmax = nmin + span_;
  if (!std::isfinite(nmin) || !std::isfinite(nmax) || !std::isfinite(nmax * factor_) ||
      !std::isfinite(nmin * factor_))
    return;
  double p = delta * ppu_;
  double oldTick0 = ticks_[0];
  int oldNum = ticksNum_;
  min_ = nmin;
  max_ = nmax;
  originVal_ = Inversed() ? max_ : min_;
  first_ = std::ceil(min_ * factor_);
  last_ = std::floor(max_ * factor_);
  if (std::fabs(delta) > span_ || ticksCount_ == 0 || oldNum == 0) {
    // Far jumps start a new grid; no ticks stay no ticks.
    CalcTicks();
    return;
  }
  int cnt;
  if (RoundMode(flags_)) {
    double f = std::fmod((oldTick0 * factor_ - originVal_ * factor_) / step_, 1.0);
    double t0;
    if (!Inversed()) {
      if (f < 0) f += 1;
      t0 = originVal_ * factor_ + step_ * f;
      cnt = static_cast<int>(ClampLL(std::trunc((max_ * factor_ - t0) / step_))) + 1;
    } else {
      if (f > 0) f -= 1;
      t0 = originVal_ * factor_ + step_ * f;
      cnt = static_cast<int>(ClampLL(std::trunc((t0 - min_ * factor_) / step_))) + 1;
    }
    ticksNum_ = std::max(0, std::min(MaxTicks, cnt));
    for (int i = 0; i < ticksNum_; ++i)
      ticks_[i] = Inversed() ? (t0 - static_cast<double>(i) * step_) / factor_
                             : (t0 + static_cast<double>(i) * step_) / factor_;
  } else {
    double s = ticksCount_ < 2 ? 1.0 : 1.0 / (ticksCount_ - 1);
    if (IsVertical()) p = -p;
    double e = std::fmod((length_ * ticks_[0] - p) / (length_ * s), 1.0);
    if (std::isnan(e)) e = 0;
    if (e < 0) e += 1;
    cnt = static_cast<int>(ClampLL(std::trunc(1 / s - e))) + 1;
    ticksNum_ = std::max(0, std::min(MaxTicks, cnt));
    for (int i = 0; i < ticksNum_; ++i) ticks_[i] = s * i + s * e;
  }
  CalcTickPositions();
}

std::string Tsp_Scale::FormatLabel(double v) const {
  if (LabelAsDataTime()) return FormatDateTime(labelFormat_, v);
  return FormatNumberLabel(labelFormat_, v);
}

std::string Tsp_Scale::TickLabel(int i) const {
  return FormatLabel(TickValue(i));
}

int Tsp_Scale::LabelChars(int i) const {
  return static_cast<int>(QString::fromStdString(TickLabel(i)).size());
}

int Tsp_Scale::Extent(int cw, int ch) const {
  int w = lineAttr_.Width();
  if (ticksNum_ == 0) return w;
  if (!NoTicksLabel()) {
    if (!IsVertical()) return w + ch + 5;
    int l = 0;
    for (int i = 0; i < ticksNum_; ++i) l = std::max(l, LabelChars(i));
    return w + l * cw + 5;
  }
  return TicksLines() ? w + 4 : w;
}

int Tsp_Scale::StartOverhang(int cw, int ch) const {
  if (ticksNum_ == 0 || NoTicksLabel()) return 0;
  int m = std::abs(ClampPixel((originVal_ - TickValue(0)) * ppu_));
  int r = IsVertical() ? ch / 2 - m : (LabelChars(0) * cw) / 2 - m;
  return std::max(0, r);
}

int Tsp_Scale::EndOverhang(int cw, int ch) const {
  if (ticksNum_ == 0 || NoTicksLabel()) return 0;
  int last = ticksNum_ - 1;
  double end = Inversed() ? min_ : max_;
  int m = std::abs(ClampPixel((end - TickValue(last)) * ppu_));
  int r = IsVertical() ? ch / 2 - m : (LabelChars(last) * cw) / 2 - m;
  return std::max(0, r);
}

void Tsp_Scale::DrawAxisLine(QPainter& canvas, int a, int b) const {
  if (!lineAttr_.Visible() || lineAttr_.Style() == psClear) return;
  QPen pen = lineAttr_.Pen();
  pen.setWidth(1);
  pen.setCapStyle(Qt::FlatCap);
  canvas.setCompositionMode(QPainter::CompositionMode_SourceOver);
  canvas.setPen(pen);
  const bool solid = lineAttr_.Style() == psSolid || lineAttr_.Style() == psInsideFrame;
  const QColor col = ToQColor(lineAttr_.Color());
  int w = lineAttr_.Width();
  for (int k = 0; k < w; ++k) {
    if (IsVertical()) {
      int x = IsOpposite() ? x_ + k : x_ - k;
      int y1 = y_ - length_ - b, y2 = y_ + a + 1;  // y2 exclusive
      if (solid)
        canvas.fillRect(x, y1, 1, y2 - y1, col);
      else
        canvas.drawLine(QPointF(x + 0.5, y1), QPointF(x + 0.5, y2));
    } else {
      int y = IsOpposite() ? y_ - k : y_ + k;
      int x1 = x_ - a, x2 = x_ + length_ + b + 1;
      if (solid)
        canvas.fillRect(x1, y, x2 - x1, 1, col);
      else
        canvas.drawLine(QPointF(x1, y + 0.5), QPointF(x2, y + 0.5));
    }
  }
}

void Tsp_Scale::DrawTicks(QPainter& canvas) const {
  if (!TicksLines() && NoTicksLabel()) return;
  QFontMetrics fm(canvas.font());
  const int th = fm.height();
  const int w = lineAttr_.Width();
  const QColor col = canvas.pen().color();
  for (int i = 0; i < ticksNum_; ++i) {
    int t = tickPos_[i];
    if (IsVertical()) {
      if (TicksLines()) canvas.fillRect(IsOpposite() ? x_ + w : x_ - w - 3, t, 4, 1, col);
      if (!NoTicksLabel()) {
        QString s = QString::fromStdString(TickLabel(i));
        int tw = fm.horizontalAdvance(s);
        int left = IsOpposite() ? x_ + w + 5 : x_ - w - 5 - tw;
        canvas.drawText(QPoint(left, t - th / 2 + fm.ascent()), s);
      }
    } else {
      if (TicksLines()) canvas.fillRect(t, IsOpposite() ? y_ - w - 3 : y_ + w, 1, 4, col);
      if (!NoTicksLabel()) {
        QString s = QString::fromStdString(TickLabel(i));
        int tw = fm.horizontalAdvance(s);
        int top = IsOpposite() ? y_ - w - th - 5 : y_ + w + 5;
        canvas.drawText(QPoint(t - tw / 2, top + fm.ascent()), s);
      }
    }
  }
}

void Tsp_Scale::WriteTo(
    const std::function<void(const std::string&, const std::string&)>& put) const {
  put("SFlags", std::to_string(flags_));
  put("SLinePos", std::to_string(x_) + "," + std::to_string(y_) + "," + std::to_string(length_));
  // Stored layouts are read back under any locale: always a decimal point.
  auto text = [](double v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 17);
    return std::string(buf, r.ptr);
  };
  if (min_ != 0) put("fMin", text(min_));
  put("fMax", text(max_));
}

namespace {
// Accepts the decimal point and, for layouts stored under a comma locale by
// earlier versions, the comma; 0 when nothing numeric is there.
double StoredDouble(std::string s) {
  std::replace(s.begin(), s.end(), ',', '.');
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return 0;
  if (s[b] == '+') ++b;
  double v = 0;
  std::from_chars(s.data() + b, s.data() + s.size(), v);
  return v;
}
}  // namespace

void Tsp_Scale::ReadFrom(const std::function<bool(const std::string&, std::string&)>& get) {
  std::string s;
  if (get("SFlags", s)) flags_ = static_cast<uint32_t>(std::strtoul(s.c_str(), nullptr, 10));
  if (get("SLinePos", s)) {
    int x = 0, y = 0, l = 0;
    if (std::sscanf(s.c_str(), "%d,%d,%d", &x, &y, &l) == 3) SetLinePos(x, y, l);
  }
  if (get("fMin", s)) {
    double v = StoredDouble(s);
    if (std::isfinite(v)) min_ = v;
  }
  if (get("fMax", s)) SetMinMax(StoredDouble(s), min_);
  CalcMapping();
  CalcTicks();
}
