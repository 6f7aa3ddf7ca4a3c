// The texts korvan prints about itself. Kept as literals, byte for byte, so
// that operators' scripts and the server's log scrapers keep matching them;
// each literal starts with the empty line the console shows before it.
#include <cstdio>

#include "driver/driver.h"

namespace {

// Short usage: printed after every argument error.
constexpr const char* kUsageText = R"TEXT(
Usage: korvan [-F]
               -i in_spec
               -f first
               -o outfile
               -g offsetfile
               [-G number of bad pixels on edge of sinogram]
               [-b bytefile]
               [-w out_spec]
               [-q]
               [-v]
               [-p]
               [-j y bin size]
               [-k z bin size]
               [-l file increment]
               [-a center of rotation]
               [-s central slice]
               [-r rfan]
               [-t angle increment]
               [-E element size]
               [-W float number for water]
               [-A float number for air]
               [-B Hounsfield value for SB3]
               [-n start angle]
               [-u kernel length]
               [-x x origin of reconstruction volume]
               [-y y origin of reconstruction volume]
               [-z z origin of reconstruction volume]
               [-c x size of reconstruction volume]
               [-d y size of reconstruction volume]
               [-e z size of reconstruction volume]
               [-m]
               [-V]
               [-h]

     type 'korvan -h' for help
)TEXT";

// Long help, -h: name and full synopsis.
constexpr const char* kHelpPage1 = R"TEXT(
Name:
     korvan - perform filtered or convolution back-projection for cone-beam
               geometry with projections equally spaced over a range of 180
               degrees plus fan angle or 360 degrees. Can also be used to
               reconstruct a width-truncated data set. Input is a set of short
               or float vff projections.

Usage: korvan [-F]
               -i in_spec
               -f first
               -o outfile
               [-b bytefile]
               [-w out_spec]
               [-q]
               [-v]
               [-G [number of bad pixels on edge of sinogram]
               [-p]
               [-j y bin size]
               [-k z bin size]
               [-l file increment]
               [-a center of rotation]
               [-s central slice]
               [-r rfan]
               [-t angle increment]
               [-E element size]
               [-W float number for water]
               [-A float number for air]
               [-B Hounsfield value for SB3]
               [-n start angle]
               [-u kernel length]
               [-x x origin of reconstruction volume]
               [-y y origin of reconstruction volume]
               [-z z origin of reconstruction volume]
               [-c x size of reconstruction volume]
               [-d y size of reconstruction volume]
               [-e z size of reconstruction volume]
               [-R]
               [-m]
               [-V]
               [-h]
)TEXT";

// Long help: what the options do.
constexpr const char* kHelpPage2 = R"TEXT(
     The -F option specifies that the command line is to be read from a file
     called 'params'. in_spec, first, and outfile are mandatory arguments.
     bytefile is an optional argument that can be included to write the
     reconstructed data to a byte volume. out_spec is an optional argument that
     can be included to write the reconstructed data to separate short vff
     slices. The -q option selects the convolution method to perform the
     filtration using the Laksminarayanan kernel. By default the filtration is
     performed in frequency space with the ramp filter. The -v option is used
     to reconstruct using a full 360 degrees of projection data. Otherwise, 180
     degrees plus fan angle is used and a weighting is applied. The -p
     option is used to perform a reconstruction using a width-truncated data
     set over 360 degrees. The -j and -k options allow the user to bin the
     projections in the horizontal and vertical directions. The -l option
     allows the user to specify a file increment value rather than using every
     projection. The -E option allows the user to specify the element size. The
     -W and -A options allow the user to specify the float numbers for water
     and air. The -B option allows the user to specify the Hounsfield value for
     SB3. The rest of the options can be included in the vff header of the
     input file or entered from the command line. Anything entered from the
     command line will override options included in the header. The center of
     rotation is the location of the rotation axis within the user's projection
     in float units where the projection ranges from 0 to yproj_size_user - 1
     and yproj_size_user is the width of the projection. The central slice is
     the location of the central slice within the user's projection in float
     units where the projection ranges from 0 to zproj_size_user - 1 and
     zproj_size_user is the height of the projection. rfan is the ratio of the
     source-to-detector distance to the detector spacing. The angle increment
     is the angle of rotation in degrees between successive projections. The
     start angle is the optional user-supplied angle for the first projection.
     The kernel length is the length of the convolution kernel. It defaults to
     yproj_size_user, which is also the maximum value. If a larger value is
     entered, it is set to yproj_size_user. The -x, -y, -z, -c, -d, and -e
     options allow the user to specify the region to be reconstructed by giving
     the x origin, y origin, z origin, x size, y size, and z size of the
     reconstruction volume. The -R option reflects the output volume in the
     x direction. The -m option reverses the direction of rotation for
     reconstruction. It is a toggle, i.e. if reverse_order is specified in the
     header and the -m option is selected, reverse_order will be turned off.

     The -V options prints korvan version information.
     The -h option prints this help.
)TEXT";

// Long help: a sample projection header.
constexpr const char* kHelpPage3 = R"TEXT(
     An example vff header follows:

ncaa
rank=2;
type=raster;
size=256 256;
bands=1;
bits=16;
format=base;
title=CT reconstruction test;      /* From this line down is optional */
center_of_rotation=127.000000;
central_slice=127.000000;
rfan=1000.000000;
angle_increment=0.900000;
start_angle=15.000000;
kernel_length=120;
x_origin=64;
y_origin=64;
z_origin=64;
x_size=128;
y_size=128;
z_size=128;
reverse_order=yes;
)TEXT";

// Keyword strings of the release, with the keyword and the closing '$'
// stripped: "$Revision: 1.25 $" and "$Date: 2007/07/30 14:13:48 $".
constexpr const char* kVersion = "1.13";
constexpr const char* kRevision = "1.25 ";
constexpr const char* kReleaseDate = "2007/07/30 14:13:48 ";

constexpr const char* kHelpPause = "\n-- Press return to continue --\n";

// Waits for the operator between help pages. One character is enough (the
// return key); at the end of input there is nobody to wait for.
void pauseForReturn() {
  std::fputs(kHelpPause, stdout);
  std::fflush(stdout);
  std::getchar();
}

}  // namespace

void printBanner() {
  std::printf("\n\nkorvan version %s", kVersion);
  std::printf("(WIN32)\n");
}

void printVersionLines() {
  std::printf("Software revision: %s\n", kRevision);
  std::printf("Release date: %s\n", kReleaseDate);
}

void printUsage() { std::fputs(kUsageText, stdout); }

void printHelp() {
  std::fputs(kHelpPage1, stdout);
  pauseForReturn();
  std::fputs(kHelpPage2, stdout);
  pauseForReturn();
  std::fputs(kHelpPage3, stdout);
}
