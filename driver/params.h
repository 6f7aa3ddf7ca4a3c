// The record of one reconstruction run. Every stage receives it by reference;
// it is the only state the stages share. It depends on nothing, so every
// library can take it without reaching into the driver.
#pragma once

#include <cstdint>

using flag_t = uint8_t;        // 0 off; setters store 255, tests ask for non-zero
constexpr flag_t kOn = 0xFF;

struct ReconParams {
  // Texts from the first projection's header and the command line.
  char subject[200];           // header "subject="
  char offsetFile[300];        // -g; empty disables the offset correction

  // Grid and projection sizes, in binned detector pixels. -1 = not given.
  int gridSizeXY;              // side of the full grid in x and y (= yprojSizeUser)
  int gridSizeZ;               // height of the full grid (= zprojSizeUser)
  int firstFile;               // number of the first projection file
  int fileIncrement;           // step between used file numbers
  int nang;                    // number of views used
  int yprojSize;               // width of the detector window of the current slab
  int yprojSizeUser;           // projection width after binning (and padding with -p)
  int projWidth;               // header "size=" first number: columns in a file
  int zprojSize;               // projection rows the current slab needs
  int zprojSizeUser;           // projection height after vertical binning
  int projHeight;              // header "size=" second number: rows in a file
  int truncWidth;              // -p: working width before padding
  int truncPad;                // -p: columns added on the low-index side
  int filterSize;              // FFT length, a power of two
  int filterSizeHalf;

  // Reconstruction region in voxels (one voxel = one binned pixel at the axis).
  int xOrigin;
  int yOrigin;
  int zOriginUser;             // zOrigin as given, before vertical binning
  int xSize;
  int ySize;
  int zSize;                   // during a multi-slab run: height of the current slab
  int zSizeUser;               // height of the run before vertical binning: zSize as given, clipped to the detector
  int bits;                    // projection sample width: 16 or 32
  int yBinSize;                // horizontal binning factor
  int zBinSize;                // vertical binning factor
  int boneHU;                  // Hounsfield value for SB3

  // Geometry: columns, rows and source distances in binned detector pixels;
  // user angles in degrees, derived angles in radians.
  float axis;                  // rotation axis as a column of the filtered window
  float axisUser;              // rotation axis as a column of the user's projection
  float centralSlice;          // central slice as a row of the rows held for the slab
  float centralSliceUser;      // central slice as a row of the user's projection
  int kernelLength;            // convolution taps on each side, centre included
  float rfanY;                 // source-to-detector distance / column spacing
  float rfanZ;                 // the same, vertical
  float fanAngle;              // full fan angle, radians
  float startAngle;            // computed angle of the first view, radians
  float startAngleUser;        // user start angle, degrees
  float angleIncrement;        // degrees between used views
  float angleIncrementUser;    // degrees between files as given with -t
  float angleStep;             // angleIncrement in radians, negated for reverse rotation
  float elementSize;           // detector element size
  float waterValue;            // float number for water
  float airValue;              // float number for air

  flag_t paramFile;            // -F
  flag_t reverseOrder;         // -m (toggle), header "reverse_order="
  flag_t evenWidth;            // yprojSizeUser is even
  flag_t convolution;          // -q: Ram-Lak convolution instead of the FFT ramp
  flag_t full360;              // -v, -p
  flag_t truncated;            // -p: width-truncated data
  flag_t startAngleGiven;      // -n
  flag_t fileIncrementGiven;   // -l
  flag_t ringCorrection;       // -N
  flag_t yBinGiven;            // -j
  flag_t zBinGiven;            // -k
  flag_t reflect;              // -R

  // Working arrays, zero-filled by geometry setup, released by freeReconArrays;
  // null until made (initReconParams nulls them all).
  float* volume;               // slab voxels [y][x][z], z fastest
  uint8_t* byteSlice;          // one output slice, ySize x xSize
  int16_t* shortSlice;
  float* floatSlice;
  float* convKernel;           // 2 * yprojSizeUser - 1 taps, centre at yprojSizeUser - 1
  float* rampFilter;           // filterSize values, packed like fftReal's spectrum
  float* preWeight;            // cosine weights, zprojSize x yprojSizeUser
  float* shortScanWeight;      // Parker weights, nang x yprojSizeUser
  float* projection;           // current view after binning, zprojSize x yprojSizeUser
  float* rawFloat;             // raw rows of a float file
  int16_t* rawShort;           // raw rows of a 16-bit file
  float* convFiltered;         // filtered view, transposed: col * zprojSize + row
  float* fftFiltered;          // likewise for the FFT path
  float* angles;               // nang view angles, radians
  float* sinTable;
  float* cosTable;

  // Job and slab plan.
  char* serverUrl;             // -U, heap text living for the whole run
  char* cmdLine;               // all arguments joined by blanks
  int jobId;                   // -P; -1 = no job
  char* outDir;                // directory of the output file, with its trailing '/'
  int slicesPerChunk;
  int memoryLimit;             // bytes for the voxel buffer
  int nChunks;
  int chunkIndex;
  int zOrigin;                 // z origin of the current slab
  float maxValue;              // running extremes of the written voxels
  float minValue;
};

// Zero-fills the record and sets the initial values of every field.
void initReconParams(ReconParams& p);

// Releases every working array and nulls its pointer; the heap texts
// serverUrl, cmdLine and outDir live on.
void freeReconArrays(ReconParams& p);
