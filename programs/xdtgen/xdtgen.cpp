// xdtgen: writes a synthetic XDT surface file of any size, deterministic for
// a seed, for tests, examples and benchmarks.
//
// The surface is a few Gaussian bumps and a sine ripple, scaled to the
// height scale, plus seeded noise; a chosen fraction of points is missing
// (z = -1.0). Every term is separable in x and y, so a point costs a few
// multiplications and one random draw, and the file is written through a
// large buffer: a 32767 x 32767 grid goes at disk speed.

#include <mapconv/output_file.h>
#include <mapconv/terminal_text.h>
#include <mapconv/version.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <numbers>
#include <vector>

#include "programs/signal_cleanup.h"
#include "programs/standard_output.h"
#include "programs/wide_arguments.h"

namespace {

// 1: the arguments are wrong. 2: the output cannot be written, or it exists
// and -f was not given; the arguments were fine, the file system said no.
constexpr int EXIT_USAGE = 1;
constexpr int EXIT_IO = 2;

struct Options {
  std::uint64_t seed = 1;
  double missing_fraction = 0.02;
  double height_scale = 2e-7;  // metres
  double spacing = 1e-5;       // x and y units per column and per row
  unsigned columns = 0;
  unsigned rows = 0;
  bool force = false;
  const char* output = nullptr;
};

enum class Action { generate, help, version, usage_error };

void print_usage(std::FILE* stream) {
  std::fputs(
      "Usage: xdtgen [-f] [-s seed] [-m missing_fraction] [-z height_scale_m] [-r lateral_spacing]\n"
      "              columns rows output\n"
      "       xdtgen --help | --version\n"
      "  -f, --force          replace output if it exists, once the new file is complete\n"
      "  -s seed              unsigned integer; the same seed gives the same file (default 1)\n"
      "  -m missing_fraction  share of points without data, 0 to 1 (default 0.02)\n"
      "  -z height_scale_m    peak height of the surface in metres (default 2e-7)\n"
      "  -r lateral_spacing   distance between adjacent points (default 1e-5)\n"
      "  -h, --help           print this help and exit\n"
      "      --version        print the version and exit\n"
      "  columns, rows        grid size, 0 to 65535 each (mapconv accepts 2 to 32767)\n"
      "  output               the XDT file to write; an existing one is kept without -f\n"
      "Exit status: 0 written, 1 bad arguments, 2 output exists or cannot be written.\n",
      stream);
}

bool parse_unsigned(const char* text, std::uint64_t max, std::uint64_t* value) {
  if (text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed > max) return false;
  *value = parsed;
  return true;
}

bool parse_finite(const char* text, double* value) {
  if (text[0] == '\0') return false;
  errno = 0;
  char* end = nullptr;
  const double parsed = std::strtod(text, &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(parsed)) return false;
  *value = parsed;
  return true;
}

bool is(const char* argument, const char* name) { return std::strcmp(argument, name) == 0; }

// Reads the arguments in order: the first of --help and --version wins, and
// the first bad argument is printed and ends the parse. Arguments are the
// user's text and may hold anything, so they are printed escaped.
Action parse_options(int argc, char** argv, Options* options) {
  const char* positional[3] = {};
  int positional_count = 0;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] != '-' || argument[1] == '\0') {
      if (positional_count == 3) {
        u_print_names(stderr, "xdtgen: unexpected argument \"%s\"\n", argument);
        return Action::usage_error;
      }
      positional[positional_count++] = argument;
      continue;
    }
    if (is(argument, "-h") || is(argument, "--help")) return Action::help;
    if (is(argument, "--version")) return Action::version;
    if (is(argument, "-f") || is(argument, "--force")) {
      options->force = true;
      continue;
    }
    const char letter = argument[1];
    if (argument[2] != '\0' || std::strchr("smzr", letter) == nullptr) {
      u_print_names(stderr, "xdtgen: unknown option \"%s\"\n", argument);
      return Action::usage_error;
    }
    if (i + 1 == argc) {
      u_print_names(stderr, "xdtgen: option %s needs a value\n", argument);
      return Action::usage_error;
    }
    const char* value = argv[++i];
    bool ok = false;
    switch (letter) {
      case 's':
        ok = parse_unsigned(value, UINT64_MAX, &options->seed);
        break;
      case 'm':
        ok = parse_finite(value, &options->missing_fraction) && options->missing_fraction >= 0.0 &&
             options->missing_fraction <= 1.0;
        break;
      case 'z':
        ok = parse_finite(value, &options->height_scale);
        break;
      case 'r':
        ok = parse_finite(value, &options->spacing);
        break;
    }
    if (!ok) {
      u_print_names(stderr, "xdtgen: invalid value \"%s\" for %s\n", value, argument);
      return Action::usage_error;
    }
  }
  if (positional_count < 3) {
    std::fputs("xdtgen: expected columns, rows and an output file\n", stderr);
    return Action::usage_error;
  }
  std::uint64_t columns = 0;
  std::uint64_t rows = 0;
  if (!parse_unsigned(positional[0], 65535, &columns)) {
    u_print_names(stderr, "xdtgen: columns must be a whole number from 0 to 65535, not \"%s\"\n",
                  positional[0]);
    return Action::usage_error;
  }
  if (!parse_unsigned(positional[1], 65535, &rows)) {
    u_print_names(stderr, "xdtgen: rows must be a whole number from 0 to 65535, not \"%s\"\n", positional[1]);
    return Action::usage_error;
  }
  if (positional[2][0] == '\0') {
    std::fputs("xdtgen: the output file name is empty\n", stderr);
    return Action::usage_error;
  }
  options->columns = static_cast<unsigned>(columns);
  options->rows = static_cast<unsigned>(rows);
  options->output = positional[2];
  return Action::generate;
}

// splitmix64: small, fast and well mixed; one draw per point.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [lo, hi).
  double uniform(double lo, double hi) {
    return lo + (hi - lo) * static_cast<double>(next() >> 11) * 0x1p-53;
  }

 private:
  std::uint64_t state_;
};

// The smooth part of the surface as a sum of terms f_t(u) * g_t(v), with u
// and v the position scaled to 0..1. Values stay within about -1..1.
class Surface {
 public:
  static constexpr int TERMS = 4;

  Surface(std::uint64_t seed, unsigned columns) : x_terms_(static_cast<std::size_t>(columns) * TERMS) {
    Random random(seed ^ 0x5DEECE66Dull);
    for (int t = 0; t < TERMS - 1; ++t) {
      bumps_[t] = {random.uniform(-0.6, 0.6), random.uniform(0.15, 0.85), random.uniform(0.15, 0.85),
                   random.uniform(0.08, 0.25)};
    }
    ripple_ = {random.uniform(1.0, 4.0), random.uniform(1.0, 4.0),
               random.uniform(0.0, 2.0 * std::numbers::pi)};
    for (unsigned k = 0; k < columns; ++k) {
      const double u = columns > 1 ? static_cast<double>(k) / (columns - 1) : 0.0;
      double* terms = &x_terms_[static_cast<std::size_t>(k) * TERMS];
      for (int t = 0; t < TERMS - 1; ++t)
        terms[t] = bumps_[t].amplitude * gauss(u, bumps_[t].u, bumps_[t].width);
      terms[TERMS - 1] = 0.25 * std::sin(2.0 * std::numbers::pi * ripple_.u_cycles * u + ripple_.phase);
    }
  }

  // Per-row factors g_t(v).
  void row_terms(double v, double* terms) const {
    for (int t = 0; t < TERMS - 1; ++t) terms[t] = gauss(v, bumps_[t].v, bumps_[t].width);
    terms[TERMS - 1] = std::cos(2.0 * std::numbers::pi * ripple_.v_cycles * v);
  }

  double at(unsigned column, const double* row) const {
    const double* x = &x_terms_[static_cast<std::size_t>(column) * TERMS];
    return x[0] * row[0] + x[1] * row[1] + x[2] * row[2] + x[3] * row[3];
  }

 private:
  struct Bump {
    double amplitude, u, v, width;
  };
  struct Ripple {
    double u_cycles, v_cycles, phase;
  };
  static double gauss(double value, double centre, double width) {
    const double d = (value - centre) / width;
    return std::exp(-d * d);
  }

  Bump bumps_[TERMS - 1];
  Ripple ripple_;
  std::vector<double> x_terms_;
};

// Collects little-endian bytes and hands them to the output in large
// writes. After a failed write it keeps the reason, as later frees may
// change errno.
class Writer {
 public:
  explicit Writer(OutputFile* output) : output_(output), buffer_(CAPACITY) {}

  bool put_u16(std::uint16_t value) {
    if (used_ + 2 > CAPACITY && !flush()) return false;
    buffer_[used_++] = static_cast<unsigned char>(value);
    buffer_[used_++] = static_cast<unsigned char>(value >> 8);
    return true;
  }

  bool put_point(float x, float y, float z) {
    if (used_ + 12 > CAPACITY && !flush()) return false;
    store(x);
    store(y);
    store(z);
    return true;
  }

  bool flush() {
    if (used_ > 0 && output_file_write(output_, buffer_.data(), used_) != NO_ERROR) {
      error_ = errno;
      return false;
    }
    used_ = 0;
    return true;
  }

  int error() const { return error_; }

 private:
  static constexpr std::size_t CAPACITY = std::size_t{1} << 20;

  void store(float value) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i) buffer_[used_++] = static_cast<unsigned char>(bits >> (8 * i));
  }

  OutputFile* output_;
  std::vector<unsigned char> buffer_;
  std::size_t used_ = 0;
  int error_ = 0;
};

bool write_points(const Options& options, Writer& writer) {
  if (!writer.put_u16(static_cast<std::uint16_t>(options.columns)) ||
      !writer.put_u16(static_cast<std::uint16_t>(options.rows))) {
    return false;
  }
  if (options.columns == 0 || options.rows == 0) return writer.flush();

  const Surface surface(options.seed, options.columns);
  Random random(options.seed);
  // A point is missing when the top 32 bits of its draw fall below this.
  const auto missing_below = static_cast<std::uint64_t>(std::ldexp(options.missing_fraction, 32));
  constexpr double NOISE = 0.02;

  std::vector<float> xs(options.columns);
  for (unsigned k = 0; k < options.columns; ++k) xs[k] = static_cast<float>(k * options.spacing);
  double row[Surface::TERMS];
  for (unsigned r = 0; r < options.rows; ++r) {
    surface.row_terms(options.rows > 1 ? static_cast<double>(r) / (options.rows - 1) : 0.0, row);
    const auto y = static_cast<float>(r * options.spacing);
    for (unsigned k = 0; k < options.columns; ++k) {
      const std::uint64_t draw = random.next();
      float z = -1.0f;
      if ((draw >> 32) >= missing_below) {
        const double noise = NOISE * (static_cast<double>(draw & 0xFFFFFFFFu) * 0x1p-31 - 1.0);
        z = static_cast<float>(options.height_scale * (surface.at(k, row) + noise));
      }
      if (!writer.put_point(xs[k], y, z)) return false;
    }
  }
  return writer.flush();
}

// Writes the whole surface; 0, or the errno value of the failure.
int write_surface(const Options& options, OutputFile* output) {
  try {
    Writer writer(output);
    return write_points(options, writer) ? 0 : writer.error();
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

int report_exists(const char* path) {
  u_print_names(stderr, "xdtgen: \"%s\" already exists (use -f to replace it)\n", path);
  return EXIT_IO;
}

// The file is written unnamed beside its final name and put in place only
// when whole, so a failed or killed run leaves the folder as it was, an
// older file of that name included.
int generate(const Options& options) {
  OutputFile output;
  if (output_file_open(options.output, options.force ? OUTPUT_REPLACE : 0u, &output) != NO_ERROR) {
    if (output.name_taken) return report_exists(options.output);
    u_print_names(stderr, "xdtgen: cannot create \"%s\": %s\n", options.output,
                  output.dangling_link ? "the symbolic link points nowhere" : std::strerror(errno));
    return EXIT_IO;
  }
  if (const int error = write_surface(options, &output); error != 0) {
    output_file_discard(&output);
    u_print_names(stderr, "xdtgen: cannot write \"%s\": %s\n", options.output, std::strerror(error));
    return EXIT_IO;
  }
  const ErrorCode committed = output_file_commit(&output);
  if (committed == NO_ERROR) return 0;
  // Another file took the name while this one was written.
  if (output.name_taken) return report_exists(options.output);
  u_print_names(stderr, "xdtgen: cannot %s \"%s\": %s\n",
                committed == ERR_CANT_WRITE_FILE ? "write" : "create", options.output, std::strerror(errno));
  return EXIT_IO;
}

int finish_stdout() { return standard_output::finish("xdtgen") ? 0 : EXIT_IO; }

}  // namespace

int main(int argc, char** argv) {
  // Past a file-size limit a write then fails with EFBIG and is reported,
  // instead of the signal ending the run without a word.
  std::signal(SIGXFSZ, SIG_IGN);
  signal_cleanup::install();
  if (!wide_arguments::terminate(argc, argv)) {
    std::fputs("xdtgen: out of memory\n", stderr);
    return EXIT_IO;
  }
  Options options;
  switch (parse_options(argc, argv, &options)) {
    case Action::help:
      print_usage(stdout);
      return finish_stdout();
    case Action::version:
      std::fputs("xdtgen " MAPCONV_VERSION "\n", stdout);
      return finish_stdout();
    case Action::usage_error:
      print_usage(stderr);
      return EXIT_USAGE;
    case Action::generate:
      break;
  }
  return generate(options);
}
