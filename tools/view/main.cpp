// korvan-view: look at VFF volumes and slices (info, preview, nhdr, diff),
// export volumes (TIFF, NRRD), find the rotation axis of a series (axis).
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/host.h"
#include "tools/view/view.h"

namespace {

const char kHelp[] =
    "Usage: korvan-view COMMAND FILE... [options]\n"
    "Inspects VFF slices and volumes of 8-bit unsigned, 16-bit signed and 32-bit\n"
    "float samples (big-endian).\n"
    "\n"
    "  info FILE           header entries, sizes, sample type, min, max, mean, and\n"
    "                      whether the file holds all its samples\n"
    "  preview FILE -o OUT.png [--window W] [--level L] [--slice N]\n"
    "                      axial, coronal and sagittal slices side by side as PNG\n"
    "  nhdr FILE           writes FILE.nhdr, a NRRD header that reads FILE in place\n"
    "  diff A B [--fov] [--tolerance T] [--slices Z0:Z1] [--scale-a F]\n"
    "                      RMSE, maximum absolute difference and PSNR of A against B\n"
    "  export VOLUME.vff OUT_DIR [--tiff [--bits 8|16|32]] [--nrrd]\n"
    "                      one TIFF file per slice, or an attached NRRD file\n"
    "  axis PATTERN [-f FIRST] [--rows A:B]\n"
    "                      the column of the rotation axis of a projection series\n"
    "\n"
    "korvan-view COMMAND --help describes a command. Exit status: 0 done, 1 diff\n"
    "above its tolerance, 2 bad usage or unreadable file, 3 truncated file (info).\n";

const char kInfoHelp[] =
    "Usage: korvan-view info FILE\n"
    "Prints the header entries, the sizes, the sample type and the minimum, maximum\n"
    "and mean of the samples, then \"complete\", or \"TRUNCATED: header says N samples,\n"
    "file holds M\" with exit status 3 when the file ends early.\n";

const char kPreviewHelp[] =
    "Usage: korvan-view preview FILE -o OUT.png [options]\n"
    "Writes an 8-bit grey PNG: the axial slice, then the coronal slice at y = Y/2\n"
    "and the sagittal slice at x = X/2 (z upwards), side by side. A slice file gives\n"
    "its one image.\n"
    "\n"
    "  -o, --output OUT.png   the image to write (required)\n"
    "      --window W         width of the grey ramp (default: max - min)\n"
    "      --level L          centre of the grey ramp (default: (min + max) / 2)\n"
    "      --slice N          axial slice (default Z/2)\n"
    "  -h, --help             this text\n";

const char kNhdrHelp[] =
    "Usage: korvan-view nhdr FILE\n"
    "Writes FILE.nhdr beside FILE: a detached NRRD header (type, sizes, spacings\n"
    "from spacing= when present, big-endian raw samples, byte skip = header length)\n"
    "that lets NRRD readers open the VFF file as it is.\n";

const char kDiffHelp[] =
    "Usage: korvan-view diff A B [options]\n"
    "Compares two images of the same size, values as stored: RMSE, maximum absolute\n"
    "difference, mean difference (bias) and PSNR, whose peak is the range of B.\n"
    "\n"
    "      --fov              only inside the cylinder of radius (X-1)/2 - 1 about\n"
    "                         ((X-1)/2, (Y-1)/2)\n"
    "      --slices Z0:Z1     only slices Z0 to Z1-1\n"
    "      --scale-a F        multiply A by F first (e.g. 0.00005 for a 16-bit\n"
    "                         series scaled by 20000)\n"
    "      --tolerance T      exit status 1 when the RMSE is above T (or not a number)\n"
    "  -h, --help             this text\n";

const char kExportHelp[] =
    "Usage: korvan-view export VOLUME.vff OUT_DIR [--tiff [--bits 8|16|32]] [--nrrd]\n"
    "Writes the volume into OUT_DIR (made when missing), each file under a temporary\n"
    "name until complete.\n"
    "\n"
    "      --tiff             one TIFF file per slice, NAME_0000.tif .., with the voxel\n"
    "                         size in the resolution tags (per cm when the header gives\n"
    "                         elementsize= in mm) and ImageJ's unit and spacing\n"
    "      --bits 8|16|32     TIFF sample type (default: the volume's). 32: floats and\n"
    "                         16 of a 16- or 8-bit volume hold the values exactly; 16 of\n"
    "                         floats scales the largest magnitude to 32767; 8 spreads\n"
    "                         min..max over 0..255\n"
    "      --nrrd             NAME.nrrd: a NRRD header with the voxel spacing, then the\n"
    "                         samples as stored\n"
    "  -h, --help             this text\n";

const char kAxisHelp[] =
    "Usage: korvan-view axis PATTERN [-f FIRST] [--rows A:B] [options]\n"
    "Estimates the column of the rotation axis of the projection series PATTERN\n"
    "(one integer conversion, e.g. 'p%d.vff'; files FIRST, FIRST+1, .. up to the first\n"
    "missing one) from the redundancy of conjugate rays: the fan-beam ray through\n"
    "column c at angle theta is measured again, reversed, at theta + 180 degrees +\n"
    "2 atan((c - axis) / rfan) through the mirrored column. Prints the estimate, its\n"
    "uncertainty, for a full turn the tilt of the axis against the detector columns,\n"
    "and korvan's option -a. Writes nothing.\n"
    "\n"
    "  -f, --first N          number of the first file (default 0)\n"
    "      --rows A:B         rows A to B-1 (default: the central slice +- H/16 rows,\n"
    "                         at least 2 and at most 16)\n"
    "      --rfan R           source-to-detector distance over the detector spacing\n"
    "                         (default: the header's rfan=)\n"
    "      --step DEG         angle increment (default: the header's angle_increment=)\n"
    "      --views N          use the first N views only\n"
    "      --reverse          the views turn the other way (toggles reverse_order=)\n"
    "  -h, --help             this text\n";

enum OptionCode {
  kWindow = 1000, kLevel, kSlice, kFov, kTolerance, kSlices, kScaleA, kTiff, kBits, kNrrd,
  kRows, kRfan, kStep, kViews, kReverse,
};

const option kPreviewOptions[] = {
    {"output", required_argument, nullptr, 'o'}, {"window", required_argument, nullptr, kWindow},
    {"level", required_argument, nullptr, kLevel}, {"slice", required_argument, nullptr, kSlice},
    {"help", no_argument, nullptr, 'h'},          {nullptr, 0, nullptr, 0},
};
const option kDiffOptions[] = {
    {"fov", no_argument, nullptr, kFov},           {"tolerance", required_argument, nullptr, kTolerance},
    {"slices", required_argument, nullptr, kSlices}, {"scale-a", required_argument, nullptr, kScaleA},
    {"help", no_argument, nullptr, 'h'},           {nullptr, 0, nullptr, 0},
};
const option kExportOptions[] = {
    {"tiff", no_argument, nullptr, kTiff}, {"bits", required_argument, nullptr, kBits},
    {"nrrd", no_argument, nullptr, kNrrd}, {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};
const option kAxisOptions[] = {
    {"first", required_argument, nullptr, 'f'}, {"rows", required_argument, nullptr, kRows},
    {"rfan", required_argument, nullptr, kRfan}, {"step", required_argument, nullptr, kStep},
    {"views", required_argument, nullptr, kViews}, {"reverse", no_argument, nullptr, kReverse},
    {"help", no_argument, nullptr, 'h'},         {nullptr, 0, nullptr, 0},
};
const option kHelpOnly[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "korvan-view: %s\n", message.c_str());
  std::exit(2);
}

double number(const char* text, const char* option) {
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(v))
    fail(std::string(option) + " expects a number, not '" + text + "'");
  return v;
}

view::Volume load(const std::string& path, bool needComplete) {
  view::Volume v;
  std::string error;
  if (!view::readVolume(path, &v, &error)) fail(error);
  if (needComplete && !v.complete())
    fail(path + " is truncated: header says " + std::to_string(v.expected) + " samples, file holds " +
         std::to_string(v.present));
  return v;
}

// Parses the options of a command; returns its positional arguments.
template <typename Handler>
std::vector<std::string> parseCommand(int argc, char** argv, const char* shortOptions, const option* options,
                                      const char* help, Handler handle) {
  int code;
  while ((code = getopt_long(argc, argv, shortOptions, options, nullptr)) != -1) {
    if (code == 'h') {
      std::fputs(help, stdout);
      std::exit(0);
    }
    if (code == '?' || !handle(code, optarg)) {
      std::fputs(help, stderr);
      std::exit(2);
    }
  }
  return std::vector<std::string>(argv + optind, argv + argc);
}

const char* sampleType(int bits) {
  return bits == 8 ? "8-bit unsigned" : bits == 16 ? "16-bit signed, big-endian" : "32-bit float, big-endian";
}

int info(int argc, char** argv) {
  auto files = parseCommand(argc, argv, "h", kHelpOnly, kInfoHelp, [](int, const char*) { return false; });
  if (files.size() != 1) fail(std::string("info takes one file\n") + kInfoHelp);
  view::Volume v = load(files[0], false);
  std::printf("file: %s\nheader: %ld bytes\n", files[0].c_str(), v.headerBytes);
  for (const auto& e : v.entries) std::printf("  %s=%s\n", e.key.c_str(), e.value.c_str());
  if (v.rank == 3)
    std::printf("size: %d x %d x %d\n", v.nx, v.ny, v.nz);
  else
    std::printf("size: %d x %d\n", v.nx, v.ny);
  std::printf("samples: %s\n", sampleType(v.bits));
  view::Stats s = view::statistics(v.values);
  std::printf("min: %.9g\nmax: %.9g\nmean: %.9g\n", s.min, s.max, s.mean);
  if (s.notFinite) std::printf("not finite: %ld samples\n", s.notFinite);
  if (!v.complete()) {
    std::printf("TRUNCATED: header says %ld samples, file holds %ld\n", v.expected, v.present);
    return 3;
  }
  if (v.extraBytes)
    std::printf("complete (%ld bytes after the last sample)\n", v.extraBytes);
  else
    std::printf("complete\n");
  return 0;
}

int preview(int argc, char** argv) {
  std::string out;
  double window = NAN, level = NAN;
  long slice = 0;
  bool sliceGiven = false;
  auto files = parseCommand(argc, argv, "o:h", kPreviewOptions, kPreviewHelp, [&](int code, const char* arg) {
    if (code == 'o') out = arg;
    else if (code == kWindow) window = number(arg, "--window");
    else if (code == kLevel) level = number(arg, "--level");
    else if (code == kSlice) slice = std::lround(number(arg, "--slice")), sliceGiven = true;
    else return false;
    return true;
  });
  if (files.size() != 1 || out.empty()) fail(std::string("preview takes one file and -o OUT.png\n") + kPreviewHelp);
  view::Volume v = load(files[0], true);
  if (!sliceGiven) slice = v.nz / 2;
  if (slice < 0 || slice >= v.nz) fail("--slice " + std::to_string(slice) + " is outside 0.." + std::to_string(v.nz - 1));
  view::Stats s = view::statistics(v.values);
  if (std::isnan(window)) window = s.max - s.min;
  if (std::isnan(level)) level = (s.max + s.min) / 2.0;
  if (window < 0) fail("--window must not be negative");
  view::GreyImage image = view::previewImage(v, level - window / 2.0, level + window / 2.0, static_cast<int>(slice));
  std::string error;
  if (!view::writePng(out, image, &error)) fail(error);
  std::printf("wrote %s: %d x %d, axial slice %ld, grey 0..255 = %.9g..%.9g\n", out.c_str(), image.width,
              image.height, slice, level - window / 2.0, level + window / 2.0);
  return 0;
}

int nhdr(int argc, char** argv) {
  auto files = parseCommand(argc, argv, "h", kHelpOnly, kNhdrHelp, [](int, const char*) { return false; });
  if (files.size() != 1) fail(std::string("nhdr takes one file\n") + kNhdrHelp);
  view::Volume v = load(files[0], false);
  if (!v.complete())
    std::fprintf(stderr, "korvan-view: warning: %s is truncated; the NRRD header describes the full size\n",
                 files[0].c_str());
  std::string base = files[0].substr(files[0].find_last_of('/') + 1);
  std::string warning, error;
  std::string text = view::nrrdHeader(v, base, &warning);
  if (!warning.empty()) std::fprintf(stderr, "korvan-view: warning: %s\n", warning.c_str());
  std::string out = files[0] + ".nhdr";
  if (!view::writeAtomically(out, text, &error)) fail(error);
  std::printf("wrote %s\n", out.c_str());
  return 0;
}

int diff(int argc, char** argv) {
  view::DiffOptions o;
  double tolerance = NAN;
  bool slicesGiven = false;
  auto files = parseCommand(argc, argv, "h", kDiffOptions, kDiffHelp, [&](int code, const char* arg) {
    if (code == kFov) o.fov = true;
    else if (code == kTolerance) tolerance = number(arg, "--tolerance");
    else if (code == kScaleA) o.scaleA = number(arg, "--scale-a");
    else if (code == kSlices) {
      if (std::sscanf(arg, "%d:%d", &o.zFirst, &o.zEnd) != 2) fail(std::string("--slices expects Z0:Z1, not '") + arg + "'");
      slicesGiven = true;
    } else return false;
    return true;
  });
  if (files.size() != 2) fail(std::string("diff takes two files\n") + kDiffHelp);
  view::Volume a = load(files[0], true), b = load(files[1], true);
  if (a.nx != b.nx || a.ny != b.ny || a.nz != b.nz)
    fail("the images differ in size: " + std::to_string(a.nx) + " x " + std::to_string(a.ny) + " x " +
         std::to_string(a.nz) + " against " + std::to_string(b.nx) + " x " + std::to_string(b.ny) + " x " +
         std::to_string(b.nz));
  if (slicesGiven && (o.zFirst < 0 || o.zEnd > a.nz || o.zFirst >= o.zEnd))
    fail("--slices " + std::to_string(o.zFirst) + ":" + std::to_string(o.zEnd) + " must lie within 0:" +
         std::to_string(a.nz) + " and hold at least one slice");
  view::DiffResult r = view::compare(a, b, o);
  if (r.count == 0) fail("no voxels to compare");
  std::printf("voxels: %ld\nrmse: %.9g\nmax abs diff: %.9g\nbias: %.9g\n", r.count, r.rmse, r.maxAbs, r.bias);
  if (r.rmse == 0)
    std::printf("psnr: inf dB\n");
  else
    std::printf("psnr: %.4f dB (peak %.9g)\n", r.psnr, r.peak);
  if (!std::isnan(tolerance) && !(r.rmse <= tolerance)) {
    std::printf("rmse above tolerance %.9g\n", tolerance);
    return 1;
  }
  return 0;
}

int exportVolume(int argc, char** argv) {
  bool tiff = false, nrrd = false;
  int bits = 0;
  auto files = parseCommand(argc, argv, "h", kExportOptions, kExportHelp, [&](int code, const char* arg) {
    if (code == kTiff) tiff = true;
    else if (code == kNrrd) nrrd = true;
    else if (code == kBits) {
      bits = std::atoi(arg);
      if (bits != 8 && bits != 16 && bits != 32) fail(std::string("--bits must be 8, 16 or 32, not '") + arg + "'");
    } else return false;
    return true;
  });
  if (files.size() != 2 || (!tiff && !nrrd))
    fail(std::string("export takes a volume, a directory and --tiff or --nrrd\n") + kExportHelp);
  if (bits && !tiff) fail("--bits applies to --tiff only");
  view::Volume v = load(files[0], true);
  std::string report, error;
  if (tiff) {
    if (!view::exportTiff(v, files[0], files[1], bits ? bits : v.bits, &report, &error)) fail(error);
    std::printf("wrote %s\n", report.c_str());
  }
  if (nrrd) {
    if (!view::exportNrrd(v, files[0], files[1], &report, &error)) fail(error);
    std::printf("wrote %s\n", report.c_str());
  }
  return 0;
}

// The file name of number `n`, by korvan's own pattern rule
// (checkFilePattern): exactly one integer conversion, anything else would
// read arguments that do not exist.
std::string seriesFile(const std::string& pattern, int n) {
  std::string problem;
  if (!checkFilePattern(pattern.c_str(), &problem)) fail("the pattern '" + pattern + "' " + problem);
  return tools::numberedFile(pattern, n);
}

int whole(const char* text, const char* option, int least) {
  double v = number(text, option);
  if (v != std::floor(v) || v < least || v > 1e9)
    fail(std::string(option) + " expects a whole number of at least " + std::to_string(least) + ", not '" + text + "'");
  return static_cast<int>(v);
}

double headerNumber(const view::Volume& v, const char* key, double given, const std::string& file,
                    const char* option) {
  if (!std::isnan(given)) return given;
  const std::string* text = v.find(key);
  char* end = nullptr;
  double value = text ? std::strtod(text->c_str(), &end) : NAN;
  if (!text || end == text->c_str() || !std::isfinite(value))
    fail(file + " has no usable " + key + "= in its header; give " + option);
  return value;
}

int axis(int argc, char** argv) {
  int first = 0, maxViews = -1, rowA = -1, rowB = -1;
  double rfan = NAN, step = NAN;
  bool reverse = false;
  auto files = parseCommand(argc, argv, "f:h", kAxisOptions, kAxisHelp, [&](int code, const char* arg) {
    if (code == 'f') first = whole(arg, "-f", 0);
    else if (code == kRfan) rfan = number(arg, "--rfan");
    else if (code == kStep) step = number(arg, "--step");
    else if (code == kViews) maxViews = whole(arg, "--views", 2);
    else if (code == kReverse) reverse = true;
    else if (code == kRows) {
      if (std::sscanf(arg, "%d:%d", &rowA, &rowB) != 2) fail(std::string("--rows expects A:B, not '") + arg + "'");
    } else return false;
    return true;
  });
  if (files.size() != 1) fail(std::string("axis takes one file pattern\n") + kAxisHelp);
  const std::string firstName = seriesFile(files[0], first);
  view::Volume v = load(firstName, true);
  if (v.rank != 2) fail(firstName + " is not a projection (rank 2)");
  view::AxisSeries s;
  s.width = v.nx;
  s.height = v.ny;
  s.rfan = headerNumber(v, "rfan", rfan, firstName, "--rfan");
  s.stepDeg = headerNumber(v, "angle_increment", step, firstName, "--step");
  // Without central_slice= the orbit plane is taken to be the middle row.
  s.centralSlice = headerNumber(v, "central_slice", v.find("central_slice") ? NAN : (v.ny - 1) / 2.0, firstName, "");
  const std::string* order = v.find("reverse_order");
  s.reverse = (order && *order == "yes") != reverse;
  if (!(s.rfan > 0)) fail("rfan must be positive");
  if (!(s.stepDeg > 0 && s.stepDeg < 360)) fail("the angle increment must lie between 0 and 360 degrees");
  if (s.width < 16) fail("the projections are too narrow (fewer than 16 columns)");
  if (rowA < 0 && rowB < 0) {
    // Rows further out add time more than information.
    const int centre = static_cast<int>(std::lround(s.centralSlice)), half = std::clamp(s.height / 16, 2, 16);
    rowA = std::max(0, centre - half);
    rowB = std::min(s.height, centre + half + 1);
  }
  if (rowA < 0 || rowB > s.height || rowA >= rowB)
    fail("--rows " + std::to_string(rowA) + ":" + std::to_string(rowB) + " must lie within 0:" +
         std::to_string(s.height) + " and hold at least one row");
  s.firstRow = rowA;
  s.lastRow = rowB;
  for (int i = 0; maxViews < 0 || i < maxViews; ++i) {
    const std::string name = seriesFile(files[0], first + i);
    if (i > 0 && access(name.c_str(), F_OK) != 0) break;
    view::Volume p = i == 0 ? v : load(name, true);
    if (p.rank != 2 || p.nx != s.width || p.ny != s.height) fail(name + " differs in size from " + firstName);
    for (int r = rowA; r < rowB; ++r)
      for (int c = 0; c < s.width; ++c) s.samples.push_back(static_cast<float>(p.at(c, r, 0)));
    s.views = i + 1;
  }
  const double span = s.views * s.stepDeg;
  std::printf("series: %d views of %d x %d from %s, %g degrees apart, %g degrees (%s), rfan %g\n", s.views,
              s.width, s.height, firstName.c_str(), s.stepDeg, span, s.fullTurn() ? "full turn" : "part of a turn",
              s.rfan);
  if (span < 180.0) fail("the series covers less than half a turn: its rays have no conjugates");
  if (span > 360.0 + 0.5 * s.stepDeg) fail("the series covers more than a turn: give --views for one turn");
  std::printf("rows: %d to %d (central slice %g)\n", rowA, rowB - 1, s.centralSlice);
  view::AxisEstimate e = view::findAxis(s);
  if (!e.found) fail("no axis found: too few conjugate pairs on the detector, or no signal in the rows");
  // A wrong direction of rotation pairs the wrong views: the conjugates then
  // agree far better when the views are taken to turn the other way.
  s.reverse = !s.reverse;
  const view::AxisEstimate other = view::findAxis(s, false);
  s.reverse = !s.reverse;
  if (other.found && other.residual < 0.6 * e.residual)
    std::fprintf(stderr,
                 "korvan-view: warning: the views agree far better taken to turn the other way (residual %.3g "
                 "against %.3g, axis %.3f): check reverse_order= or try --reverse\n",
                 other.residual, e.residual, other.axis);
  if (std::isnan(e.uncertainty))
    std::printf("axis: %.3f columns (fewer than 3 rows: no uncertainty)\n", e.axis);
  else
    std::printf("axis: %.3f +- %.3f columns\n", e.axis, e.uncertainty);
  if (e.tiltKnown)
    std::printf("tilt: %.3f +- %.3f degrees against the detector columns (not corrected by korvan)\n", e.tiltDeg,
                e.tiltUncertaintyDeg);
  std::printf("korvan option: -a %.2f\n", e.axis);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "--help" || command == "-h") {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (command == "info") return info(argc - 1, argv + 1);
  if (command == "preview") return preview(argc - 1, argv + 1);
  if (command == "nhdr") return nhdr(argc - 1, argv + 1);
  if (command == "diff") return diff(argc - 1, argv + 1);
  if (command == "export") return exportVolume(argc - 1, argv + 1);
  if (command == "axis") return axis(argc - 1, argv + 1);
  std::fputs(kHelp, stderr);
  return 2;
}
