// SPDX-License-Identifier: MIT
// colour.cc - CMYK into sRGB through LittleCMS, for formats that hold no CMYK.
//
// Ink is only a colour through the press and paper it was separated for,
// which is what the file's ICC profile says; so the profile does the
// conversion, perceptual intent, into LittleCMS's own sRGB. A file without
// one goes through a default CMYK profile: the one PELLIMOR_CMYK_PROFILE
// names, else the SWOP-based default_cmyk.icc of Debian's libgs-common.
// Each call works in a LittleCMS context of its own, so threads never share
// its state.
#include <lcms2.h>

#include <cstdlib>
#include <memory>

#include "codec/formats.h"

namespace pellimor {
namespace {

constexpr char default_cmyk_profile[] = "/usr/share/color/icc/ghostscript/default_cmyk.icc";

void say_nothing(cmsContext, cmsUInt32Number, const char*) {}

struct context_closer {
  void operator()(void* c) const { cmsDeleteContext(static_cast<cmsContext>(c)); }
};
struct profile_closer {
  void operator()(void* p) const { cmsCloseProfile(p); }
};
struct transform_closer {
  void operator()(void* t) const { cmsDeleteTransform(t); }
};

}  // namespace

const char* cmyk_default_profile_path() {
  const char* named = std::getenv("PELLIMOR_CMYK_PROFILE");
  return named != nullptr && *named != '\0' ? named : default_cmyk_profile;
}

bool cmyk_to_srgb(image* img, std::string* note, std::string* err) {
  if (!img->cmyk) return true;
  std::unique_ptr<void, context_closer> context(cmsCreateContext(nullptr, nullptr));
  if (!context) {
    *err = "out of memory for a colour transform";
    return false;
  }
  cmsContext ctx = static_cast<cmsContext>(context.get());
  cmsSetLogErrorHandlerTHR(ctx, say_nothing);
  std::unique_ptr<void, profile_closer> cmyk;
  if (!img->icc.empty()) {
    cmyk.reset(cmsOpenProfileFromMemTHR(ctx, img->icc.data(), static_cast<cmsUInt32Number>(img->icc.size())));
    if (cmyk && cmsGetColorSpace(cmyk.get()) != cmsSigCmykData) cmyk.reset();
  }
  if (!cmyk) {
    const char* path = cmyk_default_profile_path();
    std::vector<std::uint8_t> bytes;
    std::string why;
    if (load_bytes(path, &bytes, &why, std::uint64_t{64} << 20))
      cmyk.reset(cmsOpenProfileFromMemTHR(ctx, bytes.data(), static_cast<cmsUInt32Number>(bytes.size())));
    if (!cmyk || cmsGetColorSpace(cmyk.get()) != cmsSigCmykData) {
      *err = std::string("CMYK ") + (img->icc.empty() ? "without an ICC profile" : "with an ICC profile not for CMYK") +
             ", and no default CMYK profile in " + path +
             " (install libgs-common, or name one in PELLIMOR_CMYK_PROFILE)";
      return false;
    }
    *note = std::string("CMYK ") + (img->icc.empty() ? "without an ICC profile" : "with an ICC profile not for CMYK") +
            ": converted to sRGB through " + path;
  }
  std::unique_ptr<void, profile_closer> srgb(cmsCreate_sRGBProfileTHR(ctx));
  if (!srgb) {
    *err = "out of memory for a colour transform";
    return false;
  }
  // Floats become 16-bit first: LittleCMS takes float ink in percent.
  if (is_float(img->type)) {
    image wide;
    static_cast<image_info&>(wide) = *img;
    wide.type = sample_type::u16;
    if (!wide.allocate()) {
      *err = "out of memory for a colour transform";
      return false;
    }
    codecs::convert_pixels(img->pixels.data(), img->type, 4, wide.pixels.data(), sample_type::u16, 4,
                           static_cast<std::size_t>(img->width) * img->height);
    img->pixels.swap(wide.pixels);
    img->type = sample_type::u16;
  }
  const bool wide = img->type == sample_type::u16;
  std::unique_ptr<void, transform_closer> transform(
      cmsCreateTransformTHR(ctx, cmyk.get(), wide ? TYPE_CMYK_16 : TYPE_CMYK_8, srgb.get(),
                            wide ? TYPE_RGB_16 : TYPE_RGB_8, INTENT_PERCEPTUAL, 0));
  if (!transform) {
    *err = "LittleCMS cannot make a transform from the CMYK profile to sRGB";
    return false;
  }
  image rgb;
  static_cast<image_info&>(rgb) = *img;
  rgb.channels = 3;
  rgb.cmyk = false;
  if (!rgb.allocate()) {
    *err = "out of memory for a colour transform";
    return false;
  }
  for (std::int32_t y = 0; y < img->height; ++y)
    cmsDoTransform(transform.get(), img->row(y), rgb.row(y), static_cast<cmsUInt32Number>(img->width));
  rgb.meta = std::move(img->meta);
  *img = std::move(rgb);  // sRGB is what a file without a profile means
  return true;
}

bool png_colour_profile(const metadata& meta, std::vector<std::uint8_t>* icc) {
  const bool chromaticities = meta.chroma[0] != 0;
  if (meta.srgb_intent < 0 && (meta.gamma == 0 || !chromaticities)) return false;
  std::unique_ptr<void, context_closer> context(cmsCreateContext(nullptr, nullptr));
  if (!context) return false;
  cmsContext ctx = static_cast<cmsContext>(context.get());
  cmsSetLogErrorHandlerTHR(ctx, say_nothing);
  std::unique_ptr<void, profile_closer> profile;
  if (meta.srgb_intent >= 0) {
    profile.reset(cmsCreate_sRGBProfileTHR(ctx));
  } else {
    const auto at = [&](int i) { return meta.chroma[i] / 100000.0; };
    const cmsCIExyY white = {at(0), at(1), 1.0};
    const cmsCIExyYTRIPLE primaries = {{at(2), at(3), 1.0}, {at(4), at(5), 1.0}, {at(6), at(7), 1.0}};
    // gAMA is the encoding exponent: samples are light to the power gamma.
    cmsToneCurve* curve = cmsBuildGamma(ctx, 100000.0 / meta.gamma);
    if (curve == nullptr) return false;
    cmsToneCurve* curves[3] = {curve, curve, curve};
    profile.reset(cmsCreateRGBProfileTHR(ctx, &white, &primaries, curves));
    cmsFreeToneCurve(curve);
  }
  cmsUInt32Number size = 0;
  if (!profile || !cmsSaveProfileToMem(profile.get(), nullptr, &size) || size == 0) return false;
  icc->resize(size);
  if (!cmsSaveProfileToMem(profile.get(), icc->data(), &size)) {
    icc->clear();
    return false;
  }
  return true;
}

}  // namespace pellimor
