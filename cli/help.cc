// help.cc - the full help text and the version line.
#include "cli/help.h"

#ifndef PELLIMOR_VERSION
#error "PELLIMOR_VERSION is set by CMakeLists.txt from project(VERSION)"
#endif

namespace {

const char help_text[] =
    "Usage: pellimor -i INPUT -o OUTPUT [options]\n"
    "\n"
    "Resizes a picture in the cosine-transform domain: each channel's 2-D DCT\n"
    "is cut (to shrink) or extended with zeros (to enlarge), then transformed\n"
    "back at the new size.\n"
    "\n"
    "Input and output:\n"
    "  -i FILE            the picture to read: BMP, PNG, JPEG or TIFF, known by\n"
    "                     its content; - reads standard input\n"
    "  -o BASE            the output base name; the format's extension is added\n"
    "                     (.bmp, .png, .jpg, .tif); - writes standard output\n"
    "  -format FORMAT     bmp, png, jpeg or tiff (default bmp)\n"
    "  -quality Q         JPEG quality, 1 to 100 (default 92)\n"
    "\n"
    "Size (default: the picture's own):\n"
    "  -size GEOMETRY     the output size, see Geometries below\n"
    "  -sizexminus DX     pixels added to the width, negative to shrink (default 0)\n"
    "  -sizexminusy DY    pixels added to the height, negative to shrink (default 0)\n"
    "                     -size cannot go with -sizexminus or -sizexminusy\n"
    "\n"
    "Values:\n"
    "  -round MODE        trunc: toward zero (default); nearest: halves up, so\n"
    "                     -size 100% gives the input back exactly\n"
    "  -taper P           multiply kept coefficient k of K by sinc(k/K)^P on each\n"
    "                     axis, P >= 0 (default 0: no taper); softens ringing\n"
    "  -linear on|off     resize sRGB colour in linear light (default off)\n"
    "\n"
    "Engine:\n"
    "  -engine ENGINE     fast: FFT-based transforms (default); direct: the cosine\n"
    "                     sums term by term (minutes for a 720x480 picture)\n"
    "  -threads N         worker threads of the fast engine, 0 for one per core\n"
    "                     (default 0); the output is the same for every N\n"
    "\n"
    "Progress:\n"
    "  -progress MODE     lines (default): phase lines on standard error, the\n"
    "                     input name and remain counters on standard output (on\n"
    "                     standard error when -o - is used); bar: one updating\n"
    "                     line with the percentage done and the time left on\n"
    "                     standard error, drawn only when it is a terminal;\n"
    "                     off: nothing but errors\n"
    "\n"
    "Help:\n"
    "  -h, -help          the short usage text, on standard error\n"
    "  --help             this text\n"
    "  -version, --version  the version: pellimor " PELLIMOR_VERSION
    "\n"
    "\n"
    "Accepted for old scripts, with no effect: -x -y -startx -starty -i2 -hv\n"
    "-bunshi -bunbo -norm -mado -tapnum_y -tapnum_c -Fsc -orgx -orgy (each takes\n"
    "a value). Every option takes the next argument as its value, whatever it\n"
    "looks like (-sizexminus -8).\n"
    "\n"
    "Geometries, for the picture as displayed (after its EXIF rotation):\n"
    "  W or Wx            width W, the height keeps the aspect\n"
    "  xH                 height H, the width keeps the aspect\n"
    "  WxH                the largest size inside WxH, aspect kept\n"
    "  WxH!               exactly WxH\n"
    "  WxH^               the smallest size covering WxH, aspect kept\n"
    "  WxH>               as WxH, but only ever shrinks\n"
    "  WxH<               as WxH, but only ever enlarges\n"
    "  P% or P%xQ%        P percent of the width, Q (or P) of the height;\n"
    "                     decimals allowed\n"
    "  A@                 at most A pixels, aspect kept\n"
    "Computed sides round to the nearest integer, halves up, and are at least 1:\n"
    "720x480 with -size 1531 gives 1531x1021. Sides up to 2147483647.\n"
    "\n"
    "Exit status:\n"
    "  0  the output was written, or help or the version was asked for\n"
    "  1  the input could not be read or used, or the output not written\n"
    "  2  a bad command line: unknown option, missing or bad value, no -i or\n"
    "     -o, a bad geometry, -size with -sizexminus or -sizexminusy\n"
    "\n"
    "Examples:\n"
    "  pellimor -i photo.bmp -o half -size 50%\n"
    "  pellimor -i photo.jpg -o thumb -size 800x800 -format jpeg -quality 85\n"
    "  pellimor -i scan.tif -o - -size 1920x -round nearest -format png > big.png\n";

}  // namespace

const char* program_version() { return PELLIMOR_VERSION; }

void print_version(std::FILE* out) { std::fprintf(out, "pellimor %s\n", PELLIMOR_VERSION); }

void print_help(std::FILE* out) { std::fputs(help_text, out); }
