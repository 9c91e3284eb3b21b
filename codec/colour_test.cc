// SPDX-License-Identifier: MIT
// colour_test.cc - CMYK files: resized as ink and written as CMYK with their
// profile, or into sRGB through that profile as LittleCMS itself does.
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <lcms2.h>
#include <tiffio.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/codec_test_util.h"
#include "pellimor/pellimor.h"
#include "tests/test_util.h"

namespace {

using codec_test::bytes;

// A CMYK output profile whose AToB0 table LittleCMS samples from a smooth
// made-up press: ink darkens and tints, black darkens most.
bytes cmyk_profile() {
  cmsHPROFILE p = cmsCreateProfilePlaceholder(nullptr);
  cmsSetProfileVersion(p, 2.1);
  cmsSetDeviceClass(p, cmsSigOutputClass);
  cmsSetColorSpace(p, cmsSigCmykData);
  cmsSetPCS(p, cmsSigLabData);
  cmsWriteTag(p, cmsSigMediaWhitePointTag, cmsD50_XYZ());
  cmsPipeline* lut = cmsPipelineAlloc(nullptr, 4, 3);
  cmsStage* table = cmsStageAllocCLut16bit(nullptr, 9, 4, 3, nullptr);
  cmsStageSampleCLut16bit(
      table,
      [](const cmsUInt16Number in[], cmsUInt16Number out[], void*) -> cmsInt32Number {
        const double c = in[0] / 65535.0, m = in[1] / 65535.0, y = in[2] / 65535.0, k = in[3] / 65535.0;
        cmsCIELab lab;
        lab.L = 96 * (1 - 0.35 * c - 0.5 * m - 0.1 * y) * (1 - 0.85 * k);
        lab.a = 60 * m - 35 * c;
        lab.b = 70 * y - 45 * c - 10 * m;
        cmsFloat2LabEncoded(out, &lab);
        return TRUE;
      },
      nullptr, 0);
  cmsPipelineInsertStage(lut, cmsAT_BEGIN, table);
  cmsWriteTag(p, cmsSigAToB0Tag, lut);
  cmsPipelineFree(lut);
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(p, nullptr, &size);
  bytes out(size);
  cmsSaveProfileToMem(p, out.data(), &size);
  cmsCloseProfile(p);
  return out;
}

// 4-channel ink with every ink varying, as a CMYK JPEG written by libjpeg:
// inverted with an Adobe marker, or as it is without one.
bytes cmyk_jpeg(std::int32_t width, std::int32_t height, bool adobe, const bytes& icc, bytes* stored) {
  stored->resize(static_cast<std::size_t>(width) * height * 4);
  for (std::int32_t y = 0; y < height; ++y)
    for (std::int32_t x = 0; x < width; ++x) {
      std::uint8_t* p = stored->data() + (static_cast<std::size_t>(y) * width + x) * 4;
      const int ink[4] = {x * 255 / (width - 1), y * 255 / (height - 1), (x + y) * 127 / (width + height),
                          (x * y) % 97};
      for (int c = 0; c < 4; ++c) p[c] = static_cast<std::uint8_t>(adobe ? 255 - ink[c] : ink[c]);
    }
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long out_size = 0;
  jpeg_mem_dest(&cinfo, &out, &out_size);
  cinfo.image_width = width;
  cinfo.image_height = height;
  cinfo.input_components = 4;
  cinfo.in_color_space = JCS_CMYK;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 95, TRUE);
  cinfo.write_Adobe_marker = adobe;
  jpeg_start_compress(&cinfo, TRUE);
  if (!icc.empty()) jpeg_write_icc_profile(&cinfo, icc.data(), static_cast<unsigned>(icc.size()));
  for (std::int32_t y = 0; y < height; ++y) {
    JSAMPROW row = stored->data() + static_cast<std::size_t>(y) * width * 4;
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  bytes file(out, out + out_size);
  std::free(out);
  return file;
}

// The samples libjpeg decodes, as stored (no inversion), and whether it saw
// an Adobe marker.
bytes decoded_samples(const std::string& file, J_COLOR_SPACE* space, bool* adobe) {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(file.data()), file.size());
  jpeg_read_header(&cinfo, TRUE);
  *space = cinfo.jpeg_color_space;
  cinfo.out_color_space = JCS_CMYK;
  jpeg_start_decompress(&cinfo);
  bytes samples(static_cast<std::size_t>(cinfo.output_width) * cinfo.output_height * 4);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = samples.data() + static_cast<std::size_t>(cinfo.output_scanline) * cinfo.output_width * 4;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  *adobe = cinfo.saw_Adobe_marker;
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return samples;
}

// A CMYK JPEG, Adobe-inverted or not, resized: to JPEG and TIFF it stays
// ink with its profile; to PNG, at its own size, it is LittleCMS's own
// transform of the decoded source, within a level.
TEST(Cmyk, KeptAsInkOrTurnedIntoSrgbThroughItsProfile) {
  const bytes icc = cmyk_profile();
  test_util::temp_dir dir;
  for (const bool adobe : {false, true}) {
    SCOPED_TRACE(adobe ? "Adobe, inverted" : "no Adobe marker");
    bytes ignored;
    const bytes file = cmyk_jpeg(24, 18, adobe, icc, &ignored);
    test_util::write_file(dir.file("in.jpg"), std::string(file.begin(), file.end()));
    pellimor::file_options half;
    half.size = "50%";
    std::vector<pellimor::image> halves;
    for (const char* name : {"half.jpg", "half.tif"}) {
      SCOPED_TRACE(name);
      pellimor::resize_file(dir.file("in.jpg"), dir.file(name), half);
      halves.push_back(pellimor::read_image(dir.file(name)));
      const pellimor::image& got = halves.back();
      EXPECT_TRUE(got.cmyk);
      EXPECT_EQ(got.channels, 4);
      EXPECT_EQ(got.width, 12);
      EXPECT_EQ(got.icc, icc);
    }
    // The same ink both ways, JPEG's loss aside: neither stored it inverted.
    ASSERT_EQ(halves[0].pixels.size(), halves[1].pixels.size());
    double difference = 0;
    for (std::size_t i = 0; i < halves[0].pixels.size(); ++i)
      difference += std::abs(halves[0].pixels[i] - halves[1].pixels[i]);
    EXPECT_LT(difference / static_cast<double>(halves[0].pixels.size()), 3);
    J_COLOR_SPACE space;
    bool written_adobe = false;
    decoded_samples(test_util::read_file(dir.file("half.jpg")), &space, &written_adobe);
    EXPECT_TRUE(space == JCS_CMYK || space == JCS_YCCK);
    EXPECT_TRUE(written_adobe);
    TIFF* t = TIFFOpen(dir.file("half.tif").c_str(), "r");
    ASSERT_NE(t, nullptr);
    std::uint16_t photometric = 0;
    TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFClose(t);
    EXPECT_EQ(photometric, PHOTOMETRIC_SEPARATED);

    pellimor::file_options same;
    same.settings.round = pellimor::rounding::nearest;
    pellimor::resize_file(dir.file("in.jpg"), dir.file("same.png"), same);
    const pellimor::image rgb = pellimor::read_image(dir.file("same.png"));
    ASSERT_EQ(rgb.channels, 3);
    EXPECT_TRUE(rgb.icc.empty());
    bool source_adobe = false;
    const bytes source = decoded_samples(std::string(file.begin(), file.end()), &space, &source_adobe);
    cmsHPROFILE from = cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size()));
    cmsHPROFILE to = cmsCreate_sRGBProfile();
    cmsHTRANSFORM transform = cmsCreateTransform(from, adobe ? TYPE_CMYK_8_REV : TYPE_CMYK_8, to, TYPE_RGB_8,
                                                 INTENT_PERCEPTUAL, 0);
    ASSERT_NE(transform, nullptr);
    bytes expected(rgb.pixels.size());
    cmsDoTransform(transform, source.data(), expected.data(), static_cast<cmsUInt32Number>(24 * 18));
    cmsDeleteTransform(transform);
    cmsCloseProfile(from);
    cmsCloseProfile(to);
    int worst = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) worst = std::max(worst, std::abs(expected[i] - rgb.pixels[i]));
    EXPECT_LE(worst, 1);
    // A picture that is not grey: the profile's tints came through.
    EXPECT_NE(rgb.pixels[3 * 20], rgb.pixels[3 * 20 + 2]);
  }
}

// Without a profile, the default one converts, and a note says which; with
// no default to be had, the file fails, naming what to install.
TEST(Cmyk, WithoutAProfileTheDefaultSaysSo) {
  test_util::temp_dir dir;
  bytes ignored;
  const bytes file = cmyk_jpeg(16, 12, true, {}, &ignored);
  test_util::write_file(dir.file("in.jpg"), std::string(file.begin(), file.end()));
  struct profile_case {
    std::string setup;
    int status;
    std::string says;
  };
  const profile_case cases[] = {
      {"unset PELLIMOR_CMYK_PROFILE", 0,
       "note: out.png: CMYK without an ICC profile: converted to sRGB through "
       "/usr/share/color/icc/ghostscript/default_cmyk.icc"},
      {"export PELLIMOR_CMYK_PROFILE=/nonexistent.icc", 1,
       "CMYK without an ICC profile, and no default CMYK profile in /nonexistent.icc"},
  };
  for (const profile_case& c : cases) {
    SCOPED_TRACE(c.setup);
    const test_util::run_result r = test_util::run_program(dir, "resize in.jpg out.png", c.setup);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
}

}  // namespace
