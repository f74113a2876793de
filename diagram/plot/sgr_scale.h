#pragma once
// Line attributes and the numeric axis scale: range, round tick values, the
// value-to-pixel mapping and scrolling that keeps the tick grid with the data.
#include <cstdint>
#include <functional>
#include <string>

class QPainter;
class QPen;
class QColor;

// Colours are 0xRRGGBB, like the channel colour table.
using TColor = uint32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clGray = 0x808080;
// "No colour": a field with this colour is left unfilled.
constexpr TColor clNone = 0x1FFFFFFF;

QColor ToQColor(TColor c);

enum TPenStyle { psSolid, psDash, psDot, psDashDot, psDashDotDot, psClear, psInsideFrame };

// Pixel coordinates are limited to this so that far-off values stay drawable.
constexpr int MaxPixelCoord = 16383;
constexpr int MaxTicks = 21;

class Tsp_CustomLineAttr {
 public:
  Tsp_CustomLineAttr() = default;
  virtual ~Tsp_CustomLineAttr() = default;
  Tsp_CustomLineAttr(const Tsp_CustomLineAttr&) = delete;
  Tsp_CustomLineAttr& operator=(const Tsp_CustomLineAttr&) = delete;

  TColor Color() const { return color_; }
  void SetColor(TColor c);
  TPenStyle Style() const { return style_; }
  void SetStyle(TPenStyle s);
  uint16_t Width() const { return width_; }
  void SetWidth(uint16_t w);
  bool Visible() const { return visible_; }
  void SetVisible(bool v);

  // Copies the four settings without notifying the owner.
  void Assign(const Tsp_CustomLineAttr& other);
  bool SameAs(const Tsp_CustomLineAttr& other) const;
  // Colour, style and width as a pen in plain copy mode.
  void SetPen(QPainter& canvas) const;
  QPen Pen() const;

  // Called after every setter, also when the value did not change.
  void SetOnChange(std::function<void()> notify) { onChange_ = std::move(notify); }

 protected:
  void Changed();

  TColor color_ = clBlack;
  TPenStyle style_ = psSolid;
  uint16_t width_ = 1;
  bool visible_ = true;
  std::function<void()> onChange_;
};

class Tsp_LineAttr : public Tsp_CustomLineAttr {};

// Flag bits of a scale.
enum : uint32_t {
  sfVertical = 1,
  sfInversed = 2,
  sfNoTicksLines = 8,
  sfNoTicksLabel = 16,
  sfOpposite = 32,
  sfAutoMin = 64,
  sfAutoMax = 128,
  sfLabelAsDateTime = 256,
  sfNoTicksAdjusted = 512,
};

class Tsp_Scale {
 public:
  explicit Tsp_Scale(uint32_t flags = 0);
  virtual ~Tsp_Scale() = default;
  Tsp_Scale(const Tsp_Scale&) = delete;
  Tsp_Scale& operator=(const Tsp_Scale&) = delete;

  // Range from two values in either order. Equal values are widened; a
  // non-finite value or a span that overflows leaves the range unchanged.
  void SetMinMax(double a, double b);
  void SetLinePos(int x, int y, int length);
  int LineX() const { return x_; }
  int LineY() const { return y_; }
  int LineLength() const { return length_; }

  int ValueToPixel(double v) const;
  double PixelToValue(int p) const;
  void ScrollByValue(double delta);
  void ScrollByPixels(int p);

  double Min() const { return min_; }
  double Max() const { return max_; }
  double Span() const { return span_; }
  uint32_t Flags() const { return flags_; }
  bool IsVertical() const { return flags_ & sfVertical; }
  bool IsOpposite() const { return flags_ & sfOpposite; }
  bool Inversed() const { return flags_ & sfInversed; }
  bool TicksLines() const { return !(flags_ & sfNoTicksLines); }
  bool NoTicksLabel() const { return flags_ & sfNoTicksLabel; }
  bool AutoMin() const { return flags_ & sfAutoMin; }
  bool AutoMax() const { return flags_ & sfAutoMax; }
  bool LabelAsDataTime() const { return flags_ & sfLabelAsDateTime; }
  bool TicksAdjusted() const { return !(flags_ & sfNoTicksAdjusted); }

  // Actual number of ticks (0..21).
  int TicksCount() const { return ticksNum_; }
  int RequestedTicksCount() const { return ticksCount_; }
  // Pixel coordinate of tick i and the value shown there.
  int TickPos(int i) const;
  double TickValue(int i) const;
  const std::string& LabelFormat() const { return labelFormat_; }
  Tsp_LineAttr& LineAttr() { return lineAttr_; }
  const Tsp_LineAttr& LineAttr() const { return lineAttr_; }

  // The label text of tick i: number or date-time by LabelFormat.
  virtual std::string TickLabel(int i) const;
  // Room beside the field and how far the first/last label sticks out.
  int Extent(int cw, int ch) const;
  int StartOverhang(int cw, int ch) const;
  int EndOverhang(int cw, int ch) const;
  void DrawAxisLine(QPainter& canvas, int startExt, int endExt) const;
  void DrawTicks(QPainter& canvas) const;

  // Persisted form: "SFlags", "SLinePos", "fMin" (only when non-zero), "fMax".
  void WriteTo(const std::function<void(const std::string&, const std::string&)>& put) const;
  void ReadFrom(const std::function<bool(const std::string&, std::string&)>& get);

  // Pixel mapping parameters; they identify the mapping for drawing caches.
  double OriginPixel() const { return originPix_; }
  double OriginValue() const { return originVal_; }
  double PixelsPerUnit() const { return ppu_; }

 protected:
  void SetFlag(uint32_t bit, bool on);
  void SetTicksCountRaw(int n);
  void CalcMapping();
  void CalcTicks();
  void CalcTickPositions();
  // Label text without the plot's replacement hook.
  std::string FormatLabel(double v) const;
  int LabelChars(int i) const;

  uint32_t flags_;
  int x_ = 10, y_ = 30, length_ = 25;
  double min_ = 0, max_ = 10, span_ = 10;
  double factor_ = 1, first_ = 0, last_ = 0;
  int step_ = 1;
  int ticksCount_ = 5;
  int ticksNum_ = 0;
  double ticks_[MaxTicks] = {};
  int16_t tickPos_[MaxTicks] = {};
  double originPix_ = 0, originVal_ = 0, ppu_ = 1;
  std::string labelFormat_ = "###0.##";
  Tsp_LineAttr lineAttr_;
};

// The ticks of a new grid. Round ticks (labelled, adjusted) fall on whole
// steps of the scaled range first..last (values times factor) and are
// returned as values; other ticks are evenly spaced fractions of the axis
// length from 0 to 1. step is kept where no round step is worked out.
struct TScaleTicks {
  int Count = 0;
  int Step = 1;  // scaled units between round ticks
  double Values[MaxTicks] = {};
};
TScaleTicks CalcScaleTicks(int requested, bool round, bool inversed, double first, double last,
                           double factor, int step);

// Number label text for the "###0.##" family of formats: '0' digit always
// shown, '#' digit shown when significant, '.' the locale's separator.
std::string FormatNumberLabel(const std::string& fmt, double v);
