#include "programs/mapinfo/picture_legend.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "programs/mapinfo/colour_map.h"
#include "programs/mapinfo/figure_scale.h"

namespace {

// The figure's type face, a package font every Debian desktop has; pango
// falls back to another when it is missing.
constexpr const char* FONT_FAMILY = "DejaVu Sans";

template <typename T, void (*Free)(T*)>
struct Owned {
  T* pointer;
  explicit Owned(T* p) : pointer(p) {}
  ~Owned() {
    if (pointer != nullptr) Free(pointer);
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
};

void free_object(void* object) { g_object_unref(object); }
void free_layout(PangoLayout* layout) { free_object(layout); }

using Surface = Owned<cairo_surface_t, cairo_surface_destroy>;
using Context = Owned<cairo_t, cairo_destroy>;
using Layout = Owned<PangoLayout, free_layout>;
using Font = Owned<PangoFontDescription, pango_font_description_free>;

// Text laid out in the figure's font, one layout for every piece.
class Typesetter {
 public:
  explicit Typesetter(int pixels)
      : scratch_(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1)),
        context_(cairo_create(scratch_.pointer)),
        layout_(pango_cairo_create_layout(context_.pointer)),
        font_(pango_font_description_new()) {
    pango_font_description_set_family(font_.pointer, FONT_FAMILY);
    pango_font_description_set_absolute_size(font_.pointer, pixels * PANGO_SCALE);
    pango_layout_set_font_description(layout_.pointer, font_.pointer);
    // Grey edges only: coloured subpixel fringes would not suit a PNG.
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    pango_cairo_context_set_font_options(pango_layout_get_context(layout_.pointer), options);
    cairo_font_options_destroy(options);
    pango_layout_context_changed(layout_.pointer);
  }

  // Black text on white at (x, y) of the figure, false when memory ran out.
  bool stamp(const std::string& text, std::int64_t x, std::int64_t y, FigureCanvas::Stamp* stamp) {
    pango_layout_set_text(layout_.pointer, text.c_str(), static_cast<int>(text.size()));
    int width = 0, height = 0;
    pango_layout_get_pixel_size(layout_.pointer, &width, &height);
    width = std::max(width, 1);
    height = std::max(height, 1);
    const Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
    if (cairo_surface_status(surface.pointer) != CAIRO_STATUS_SUCCESS) return false;
    {
      const Context cr(cairo_create(surface.pointer));
      cairo_set_source_rgb(cr.pointer, 1, 1, 1);
      cairo_paint(cr.pointer);
      cairo_set_source_rgb(cr.pointer, 0, 0, 0);
      pango_cairo_update_layout(cr.pointer, layout_.pointer);
      pango_cairo_show_layout(cr.pointer, layout_.pointer);
      if (cairo_status(cr.pointer) != CAIRO_STATUS_SUCCESS) return false;
    }
    cairo_surface_flush(surface.pointer);
    const unsigned char* data = cairo_image_surface_get_data(surface.pointer);
    const int stride = cairo_image_surface_get_stride(surface.pointer);
    *stamp = {x, y, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), {}};
    stamp->rgb.resize(std::size_t{stamp->width} * stamp->height * 3);
    unsigned char* out = stamp->rgb.data();
    for (int row = 0; row < height; ++row) {
      // RGB24 pixels are native-endian 32-bit words, 0x00RRGGBB.
      const auto* words = reinterpret_cast<const std::uint32_t*>(data + std::ptrdiff_t{stride} * row);
      for (int column = 0; column < width; ++column, out += 3) {
        out[0] = static_cast<unsigned char>(words[column] >> 16);
        out[1] = static_cast<unsigned char>(words[column] >> 8);
        out[2] = static_cast<unsigned char>(words[column]);
      }
    }
    return true;
  }

  bool ok() const { return cairo_status(context_.pointer) == CAIRO_STATUS_SUCCESS && layout_.pointer != nullptr; }

 private:
  Surface scratch_;
  Context context_;
  Layout layout_;
  Font font_;
};

std::uint32_t at_least(double value, std::uint32_t low) {
  return std::max(low, static_cast<std::uint32_t>(std::lround(value)));
}

}  // namespace

std::unique_ptr<FigureCanvas> FigureCanvas::create(const std::string& title, PictureSize map,
                                                   const HeightStatistics& range, double metres_per_pixel) {
  std::unique_ptr<FigureCanvas> figure = lay_out(title, map, range, metres_per_pixel);
  // The text is all rendered: the fonts are given back now. Cairo's and
  // fontconfig's caches stay (pango's own threads may still hold entries).
  pango_cairo_font_map_set_default(nullptr);
  return figure;
}

std::unique_ptr<FigureCanvas> FigureCanvas::lay_out(const std::string& title, PictureSize map,
                                                    const HeightStatistics& range, double metres_per_pixel) {
  std::unique_ptr<FigureCanvas> figure(new (std::nothrow) FigureCanvas);
  if (figure == nullptr) return nullptr;
  FigureCanvas& f = *figure;
  f.map_ = map;
  f.range_ = range;
  // Text grows with the map, from a readable minimum to a modest maximum.
  const std::uint32_t font = std::clamp<std::uint32_t>(static_cast<std::uint32_t>(map.height / 36), 11, 40);
  const std::uint32_t pad = font;
  Typesetter typesetter(static_cast<int>(font));
  if (!typesetter.ok()) return nullptr;

  Stamp heading;
  if (!typesetter.stamp(title, pad, pad / 2, &heading)) return nullptr;
  f.map_x_ = pad;
  f.map_y_ = pad / 2 + heading.height + pad;
  std::uint64_t width = std::uint64_t{pad} + heading.width + pad;
  f.stamps_.push_back(std::move(heading));

  f.bar_x_ = f.map_x_ + map.width + font;
  f.bar_width_ = font;
  f.tick_length_ = at_least(font / 3.0, 2);
  f.tick_thickness_ = at_least(font / 12.0, 1);
  std::uint64_t right = std::uint64_t{f.bar_x_} + f.bar_width_ + pad;
  if (range.valid > 0) {
    const HeightTicks ticks = height_ticks(range.min, range.max);
    const double span = range.max - range.min;
    for (std::size_t i = 0; i < ticks.heights.size(); ++i) {
      const double from_top = span > 0 ? (range.max - ticks.heights[i]) / span : 0.5;
      const auto row = f.map_y_ + static_cast<std::uint32_t>(std::lround(from_top * (map.height - 1)));
      f.tick_rows_.push_back(row);
      Stamp label;
      const std::int64_t x = std::int64_t{f.bar_x_} + f.bar_width_ + f.tick_length_ + font / 2;
      if (!typesetter.stamp(ticks.labels[i] + " " + ticks.unit, x, 0, &label)) return nullptr;
      label.y = std::int64_t{row} - label.height / 2;
      right = std::max<std::uint64_t>(right, x + label.width + pad);
      f.stamps_.push_back(std::move(label));
    }
  }
  width = std::max(width, right);

  f.scale_y_ = f.map_y_ + map.height + pad / 2;
  f.scale_thickness_ = at_least(font / 4.0, 2);
  std::uint32_t bottom = f.scale_y_ + f.scale_thickness_;
  const ScaleBar bar = scale_bar(metres_per_pixel, map.width);
  f.scale_pixels_ = bar.pixels;
  if (bar.pixels > 0) {
    Stamp label;
    const std::int64_t x = std::int64_t{f.map_x_} + bar.pixels + font / 2;
    if (!typesetter.stamp(bar.label, x, 0, &label)) return nullptr;
    label.y = std::int64_t{f.scale_y_} + f.scale_thickness_ / 2 - label.height / 2;
    label.y = std::max<std::int64_t>(label.y, f.map_y_ + map.height + 1);
    bottom = std::max<std::uint32_t>(bottom, static_cast<std::uint32_t>(label.y + label.height));
    width = std::max<std::uint64_t>(width, x + label.width + pad);
    f.stamps_.push_back(std::move(label));
  }
  // The labels at the colour bar's ends stand out of the map by half a line.
  for (const Stamp& stamp : f.stamps_)
    bottom = std::max<std::uint32_t>(bottom, static_cast<std::uint32_t>(std::max<std::int64_t>(stamp.y + stamp.height, 0)));
  f.size_ = {static_cast<std::uint32_t>(std::min<std::uint64_t>(width, 0x7fffffff)), bottom + pad / 2};
  try {
    f.pixels_.resize(std::size_t{f.size_.width} * 3);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return figure;
}

std::int64_t FigureCanvas::map_row(std::uint32_t y) const {
  return y >= map_y_ && y - map_y_ < map_.height ? std::int64_t{y} - map_y_ : -1;
}

const unsigned char* FigureCanvas::row(std::uint32_t y, const unsigned char* map_pixels) {
  unsigned char* const out = pixels_.data();
  std::memset(out, 255, pixels_.size());
  const auto fill = [&](std::uint32_t from, std::uint32_t count, Rgb colour) {
    for (unsigned char* pixel = out + std::size_t{from} * 3; count > 0; --count, pixel += 3) {
      pixel[0] = colour.red;
      pixel[1] = colour.green;
      pixel[2] = colour.blue;
    }
  };
  const std::int64_t map_row_index = map_row(y);
  if (map_row_index >= 0) {
    if (map_pixels != nullptr) std::memcpy(out + std::size_t{map_x_} * 3, map_pixels, std::size_t{map_.width} * 3);
    if (range_.valid > 0) {
      // The bar's rows run from the maximum at the top to the minimum at the
      // bottom, coloured by the rule the map's pixels follow.
      const double from_top =
          map_.height > 1 ? static_cast<double>(map_row_index) / (map_.height - 1) : 0.0;
      const double height = range_.max - from_top * (range_.max - range_.min);
      fill(bar_x_, bar_width_, colour_for_height(height, range_.min, range_.max));
    }
  }
  for (const std::uint32_t tick : tick_rows_) {
    if (y + tick_thickness_ / 2 >= tick && y + tick_thickness_ / 2 < tick + tick_thickness_)
      fill(bar_x_ + bar_width_, tick_length_, Rgb{0, 0, 0});
  }
  if (scale_pixels_ > 0 && y >= scale_y_ && y < scale_y_ + scale_thickness_)
    fill(map_x_, scale_pixels_, Rgb{0, 0, 0});
  for (const Stamp& stamp : stamps_) {
    if (std::int64_t{y} < stamp.y || std::int64_t{y} >= stamp.y + stamp.height) continue;
    const std::size_t line = static_cast<std::size_t>(std::int64_t{y} - stamp.y);
    const std::int64_t end = std::min<std::int64_t>(stamp.x + stamp.width, size_.width);
    if (end <= stamp.x) continue;
    std::memcpy(out + static_cast<std::size_t>(stamp.x) * 3, stamp.rgb.data() + line * stamp.width * 3,
                static_cast<std::size_t>(end - stamp.x) * 3);
  }
  return out;
}
