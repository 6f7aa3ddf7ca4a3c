// korvan-phantom: writes an analytic cone-beam projection series of a
// phantom in korvan's own geometry, one VFF file per view, and optionally the
// phantom sampled on the reconstruction grid.
#include <getopt.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/phantom/phantom.h"
#include "tools/phantom/series.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

const char kUsage[] = "Usage: korvan-phantom -o PATTERN [options]   (korvan-phantom --help lists them)\n";

const char kHelp[] =
    "Usage: korvan-phantom -o PATTERN [options]\n"
    "Writes exact cone-beam line integrals of an analytic phantom, one VFF file per\n"
    "view, in korvan's geometry: lengths in detector pixels, one voxel = one pixel at\n"
    "the rotation axis, the source at rfan from the axis, the detector at rfan from\n"
    "the source. Without --views and --start the series holds exactly the views that\n"
    "korvan derives from the headers.\n"
    "\n"
    "  -o, --output PATTERN    file names, one integer conversion, e.g. 'proj%03d.vff'\n"
    "      --first N           number of the first file (default 0)\n"
    "      --views N           number of views (default: korvan's count)\n"
    "      --step DEG          angle increment in degrees (default 2)\n"
    "      --start DEG         angle of the first view (default: korvan's centred start;\n"
    "                          reconstruct with korvan -n DEG)\n"
    "      --full360           a full turn (default: half a turn plus the fan angle)\n"
    "      --reverse           the views turn the other way (reverse_order=yes)\n"
    "      --width W           detector columns (default 64)\n"
    "      --height H          detector rows (default 64)\n"
    "      --rfan R            source-to-axis distance in pixels (default 256)\n"
    "      --axis A            column of the rotation axis (default (W-1)/2)\n"
    "      --central-slice S   row of the central plane (default (H-1)/2)\n"
    "      --truncate-from K   width-truncated detector: keep columns K.. only (the\n"
    "                          header's centre of rotation is shifted by -K); implies\n"
    "                          --full360; reconstruct with korvan -p\n"
    "      --bits 16|32        16: round(integral * scale) as 16-bit integers;\n"
    "                          32: floats (default 32)\n"
    "      --scale F           scale of 16-bit samples (default 20000)\n"
    "      --phantom NAME      shepp, cylinder, beads or rings (default shepp)\n"
    "      --density F         attenuation per voxel of the phantom's unit contrast;\n"
    "                          the Shepp-Logan shell (default 0.05)\n"
    "      --noise PHOTONS     Poisson noise for PHOTONS incident photons per pixel\n"
    "                          (default: none)\n"
    "      --gain-error PCT    detector columns with gain errors of up to PCT percent,\n"
    "                          which reconstruct as rings (default 0; rings: 1)\n"
    "      --seed S            seed of the noise and of the rings' gains (default 1)\n"
    "      --truth FILE        also write the phantom on the reconstruction grid\n"
    "                          (float VFF volume, 2x2x2 sub-samples per voxel)\n"
    "  -h, --help              this text\n"
    "\n"
    "Phantoms: shepp, the 3-D modified Shepp-Logan head reaching 0.45 of the detector\n"
    "width and height from the rotation axis; cylinder, a uniform cylinder; beads, small dense spheres for\n"
    "geometry checks; rings, shepp seen by a detector whose columns have gain errors\n"
    "of up to 1 % (they reconstruct as rings).\n";

enum OptionCode {
  kFirst = 1000, kViews, kStep, kStart, kFull360, kReverse, kWidth, kHeight, kRfan, kAxis, kCentralSlice,
  kTruncateFrom, kBits, kScale, kPhantom, kDensity, kNoise, kGainError, kSeed, kTruth,
};

const option kOptions[] = {
    {"output", required_argument, nullptr, 'o'},    {"first", required_argument, nullptr, kFirst},
    {"views", required_argument, nullptr, kViews},  {"step", required_argument, nullptr, kStep},
    {"start", required_argument, nullptr, kStart},  {"full360", no_argument, nullptr, kFull360},
    {"reverse", no_argument, nullptr, kReverse},    {"width", required_argument, nullptr, kWidth},
    {"height", required_argument, nullptr, kHeight}, {"rfan", required_argument, nullptr, kRfan},
    {"axis", required_argument, nullptr, kAxis},    {"central-slice", required_argument, nullptr, kCentralSlice},
    {"truncate-from", required_argument, nullptr, kTruncateFrom},
    {"bits", required_argument, nullptr, kBits},    {"scale", required_argument, nullptr, kScale},
    {"phantom", required_argument, nullptr, kPhantom}, {"density", required_argument, nullptr, kDensity},
    {"noise", required_argument, nullptr, kNoise},  {"gain-error", required_argument, nullptr, kGainError},  {"seed", required_argument, nullptr, kSeed},
    {"truth", required_argument, nullptr, kTruth},  {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

struct Settings {
  std::string pattern, truth, phantomName = "shepp";
  int first = 0, views = -1, width = 64, height = 64, truncateFrom = 0, bits = 32;
  double step = 2.0, start = 0.0, rfan = 256.0, axis = NAN, centralSlice = NAN, scale = 20000.0;
  double density = 0.05, noise = 0.0, gainError = NAN;
  unsigned long long seed = 1;
  bool startGiven = false, full360 = false, reverse = false;
};

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "korvan-phantom: %s\n", message.c_str());
  std::exit(2);
}

double number(const char* text, const char* option) {
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(v))
    fail(std::string("--") + option + " expects a number, not '" + text + "'");
  return v;
}

int whole(const char* text, const char* option) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < -1000000000L || v > 1000000000L)
    fail(std::string("--") + option + " expects a whole number, not '" + text + "'");
  return static_cast<int>(v);
}

// The value korvan reads back from a header written with "%f" (parsed and
// stored as a float): the projections are made with exactly that geometry.
double asReadBack(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%f", v);
  return static_cast<float>(std::atof(text));
}

Settings parse(int argc, char** argv) {
  Settings s;
  int code;
  while ((code = getopt_long(argc, argv, "o:h", kOptions, nullptr)) != -1) {
    const char* name = nullptr;
    for (const option* o = kOptions; o->name; ++o)
      if (o->val == code) name = o->name;
    switch (code) {
      case 'o': s.pattern = optarg; break;
      case 'h': std::fputs(kHelp, stdout); std::exit(0);
      case kFirst: s.first = whole(optarg, name); break;
      case kViews: s.views = whole(optarg, name); break;
      case kStep: s.step = number(optarg, name); break;
      case kStart: s.start = number(optarg, name); s.startGiven = true; break;
      case kFull360: s.full360 = true; break;
      case kReverse: s.reverse = true; break;
      case kWidth: s.width = whole(optarg, name); break;
      case kHeight: s.height = whole(optarg, name); break;
      case kRfan: s.rfan = number(optarg, name); break;
      case kAxis: s.axis = number(optarg, name); break;
      case kCentralSlice: s.centralSlice = number(optarg, name); break;
      case kTruncateFrom: s.truncateFrom = whole(optarg, name); break;
      case kBits: s.bits = whole(optarg, name); break;
      case kScale: s.scale = number(optarg, name); break;
      case kPhantom: s.phantomName = optarg; break;
      case kDensity: s.density = number(optarg, name); break;
      case kNoise: s.noise = number(optarg, name); break;
      case kGainError: s.gainError = number(optarg, name); break;
      case kSeed: s.seed = static_cast<unsigned long long>(whole(optarg, name)); break;
      case kTruth: s.truth = optarg; break;
      default: std::fputs(kUsage, stderr); std::exit(2);
    }
  }
  if (optind < argc) fail(std::string("unexpected argument '") + argv[optind] + "'\n" + kUsage);
  if (std::isnan(s.axis)) s.axis = (s.width - 1) / 2.0;
  if (std::isnan(s.centralSlice)) s.centralSlice = (s.height - 1) / 2.0;
  if (s.truncateFrom > 0) s.full360 = true;
  return s;
}

// Side of korvan's in-plane grid: the detector width, or for width-truncated
// data the width after korvan pads the row so the axis is in its middle.
int gridSide(const Settings& s) {
  if (s.truncateFrom == 0) return s.width;
  return 1 + static_cast<int>(2.0 * (double(s.width - 1) - s.axis));
}

void check(const Settings& s) {
  std::string why;
  if (s.pattern.empty()) fail(std::string("an output pattern is required (-o 'proj%d.vff')\n") + kUsage);
  if (!phantom::checkPattern(s.pattern, &why)) fail(why);
  if (s.width < 1 || s.height < 1) fail("--width and --height must be positive");
  if (s.first < 0) fail("--first must not be negative");
  if (s.views == 0 || s.views < -1) fail("--views must be positive");
  if (!(s.step > 0)) fail("--step must be positive");
  if (s.axis < 0 || s.axis > s.width - 1) fail("--axis must lie on the detector (0 to width-1)");
  if (s.centralSlice < 0 || s.centralSlice > s.height - 1)
    fail("--central-slice must lie on the detector (0 to height-1)");
  // korvan reconstructs only inside the field-of-view circle, so the source
  // may come as close as that circle (a wide fan), not closer.
  const double radius = (gridSide(s) - 1) / 2.0;
  if (!(s.rfan > radius)) {
    char text[200];
    std::snprintf(text, sizeof text, "--rfan %g must be larger than the radius %g of the field of view", s.rfan,
                  radius);
    fail(text);
  }
  if (s.truncateFrom < 0) fail("--truncate-from must not be negative");
  if (s.truncateFrom > 0) {
    if (s.axis - s.truncateFrom < 1) fail("--truncate-from must keep the rotation axis and a column left of it");
    if (gridSide(s) - (s.width - s.truncateFrom) < 1)
      fail("--truncate-from needs the rotation axis left of the middle of the kept columns");
  }
  if (s.bits != 16 && s.bits != 32) fail("--bits must be 16 or 32");
  if (!(s.scale > 0)) fail("--scale must be positive");
  if (s.phantomName != "shepp" && s.phantomName != "cylinder" && s.phantomName != "beads" &&
      s.phantomName != "rings")
    fail("--phantom must be shepp, cylinder, beads or rings, not '" + s.phantomName + "'");
  if (s.noise < 0) fail("--noise must not be negative");
}

phantom::Phantom build(const Settings& s) {
  if (s.phantomName == "cylinder") return phantom::uniformCylinder(s.width, s.height, s.density);
  if (s.phantomName == "beads") return phantom::beads(s.width, s.height, s.density);
  return phantom::sheppLogan(s.width, s.height, s.density);
}

bool touchesEdge(const std::vector<double>& p, int width, int height) {
  for (int c = 0; c < width; ++c)
    if (p[c] != 0 || p[static_cast<size_t>(height - 1) * width + c] != 0) return true;
  for (int r = 0; r < height; ++r)
    if (p[static_cast<size_t>(r) * width] != 0 || p[static_cast<size_t>(r) * width + width - 1] != 0) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s = parse(argc, argv);
  check(s);

  phantom::ScanGeometry g;
  g.width = s.width;
  g.height = s.height;
  g.rfan = asReadBack(s.rfan);
  g.axis = asReadBack(s.axis - s.truncateFrom) + s.truncateFrom;
  g.centralSlice = asReadBack(s.centralSlice);
  double stepDeg = asReadBack(s.step);
  phantom::ViewPlan plan = phantom::plannedViews(g, stepDeg, s.full360, s.reverse);
  if (s.startGiven) {
    plan.firstAngle = static_cast<float>(asReadBack(s.start) * kPi / 180.0);
  }
  if (s.views > 0) plan.views = s.views;
  phantom::Phantom ph = build(s);

  std::printf("korvan-phantom: %s phantom, detector %d x %d, rfan %f, axis %f, central slice %f\n",
              s.phantomName.c_str(), s.width, s.height, g.rfan, g.axis, g.centralSlice);
  if (s.truncateFrom > 0)
    std::printf("width-truncated: files hold columns %d..%d, center_of_rotation %f\n", s.truncateFrom,
                s.width - 1, g.axis - s.truncateFrom);
  std::printf("views %d, start angle %f degrees, step %f degrees\n", plan.views, plan.firstAngle * 180.0 / kPi,
              plan.angleStep * 180.0 / kPi);

  phantom::ProjectionHeader header;
  header.width = s.width - s.truncateFrom;
  header.height = s.height;
  header.bits = s.bits;
  header.title = "korvan-phantom " + s.phantomName;
  header.axis = g.axis - s.truncateFrom;
  header.centralSlice = g.centralSlice;
  header.rfan = g.rfan;
  header.angleIncrement = stepDeg;
  header.reverse = s.reverse;
  header.startGiven = s.startGiven;
  header.startDeg = s.start;
  const std::string headerText = phantom::projectionHeaderText(header);

  std::vector<double> gains;
  // Column gain errors make rings; the rings phantom has them at 1 % unless
  // --gain-error says otherwise, and any other phantom can have them too.
  double gainError = std::isnan(s.gainError) ? (s.phantomName == "rings" ? 1.0 : 0.0) : s.gainError;
  if (gainError > 0) gains = phantom::columnGains(s.width, s.seed, gainError / 100);
  std::mt19937_64 noise(s.seed);
  long clamped = 0;
  int edgeView = -1;
  std::string error;
  for (int i = 0; i < plan.views; ++i) {
    std::vector<double> p = phantom::projectView(ph, g, phantom::viewAngle(plan, i));
    if (edgeView < 0 && touchesEdge(p, s.width, s.height)) edgeView = i;
    phantom::measure(p, s.width, gains, s.noise, noise);
    std::vector<double> kept;
    kept.reserve(static_cast<size_t>(header.width) * s.height);
    for (int r = 0; r < s.height; ++r)
      kept.insert(kept.end(), p.begin() + static_cast<long>(r) * s.width + s.truncateFrom,
                  p.begin() + static_cast<long>(r + 1) * s.width);
    std::string name = phantom::fileName(s.pattern, s.first + i);
    if (!phantom::writeAtomically(name, headerText + phantom::encodeSamples(kept, s.bits, s.scale, &clamped),
                                  &error))
      fail(error);
    std::printf("\rprojection %d/%d", i + 1, plan.views);
    std::fflush(stdout);
  }
  std::printf("\n");
  if (edgeView >= 0)
    std::fprintf(stderr,
                 "korvan-phantom: warning: the phantom reaches the edge of the detector (first at view %d)\n",
                 edgeView);
  if (clamped > 0)
    std::fprintf(stderr,
                 "korvan-phantom: warning: %ld samples lay outside the 16-bit range and were clamped; "
                 "use a smaller --scale\n",
                 clamped);

  if (!s.truth.empty()) {
    int n = gridSide(s);
    std::vector<float> truth = phantom::sampleTruth(ph, n, s.height, g.centralSlice);
    std::string text = phantom::volumeHeaderText(n, n, s.height, "korvan-phantom " + s.phantomName + " truth",
                                                 g.centralSlice);
    if (!phantom::writeAtomically(s.truth, text + phantom::encodeFloats(truth), &error)) fail(error);
    std::printf("truth %s: %d x %d x %d voxels\n", s.truth.c_str(), n, n, s.height);
  }
  return 0;
}
