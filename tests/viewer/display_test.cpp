// The image list and the display pipeline: reading real files into the list,
// the five sort passes, series ranges, grey and colour mapping, zoom fitting,
// pan sliders and painting.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/fixtures/dicom_writer.h"
#include "tests/fixtures/genesis_writer.h"
#include "tests/fixtures/log_capture.h"
#include "tests/viewer/helpers.h"

using platform::Color;
using namespace viewer_test;

namespace {

TEST(GreyMapping, WindowEdgesFillAndConstantImages) {
  fixtures::LogCapture log(0);
  auto v = Make_Viewer();
  const int i = Add(*v, Image<uint16_t>(kPixU16, 5, 2, {0, 1000, 500, 250, 7, 999, 1, 2, 3, 4}, 0, 1000));
  v->Image_List[i]->g2.pix_fill = 7;
  ASSERT_EQ(Image_Read_Window(*v, i), 1);
  const auto& c = v->cache[i];
  const auto& b = c.bits;
  ASSERT_EQ(b.size(), 16u);  // stride 8
  // 1000: trunc(235) + 11 = 246, limited; 500: trunc(117.5) + 11; 7 is the fill value.
  EXPECT_EQ((std::vector<int>{b[0], b[1], b[2], b[4], b[8], b[9]}), (std::vector<int>{11, 245, 128, 10, 245, 11}));
  EXPECT_EQ(std::tuple(c.header->width, c.header->height), std::tuple(5, -2));  // top-down rows

  ImageHeader& e = *v->Image_List[i];
  e.g2.pix_fill = -32768;
  struct { float fmin, fmax; int32_t lo, hi, value; int byte; } cases[] = {
      {0.5f, 1, 0, 1000, 500, 11}, {0.5f, 1, 0, 1000, 100, 11}, {0.5f, 1, 0, 1000, 750, 128},
      {0, 1, 7, 7, 7, 11},          // a constant image: range 255
      {0, 1, 7, 7, 262, 245},
      {0.3f, 0.3f, 0, 1000, 299, 11},  // an empty window is a threshold
      {0.3f, 0.3f, 0, 1000, 301, 245},
      {1, 0, 0, 1000, 0, 245},  // min above max inverts the ramp
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(testing::Message() << k.fmin << " " << k.fmax << " " << k.value);
    e.g2.serie_min = k.lo;
    e.g2.serie_max = k.hi;
    EXPECT_EQ(GreyMap::Of(e, k.fmin, k.fmax)(k.value), k.byte);
  }
}

TEST(GreyMapping, TableGivesTheExactBytesForEveryType) {
  std::mt19937 random(7);
  std::vector<int16_t> s16(4096);
  for (auto& s : s16) s = static_cast<int16_t>(random());
  // A stored range narrower than the values: the ones outside still map exactly.
  auto ima = Image<int16_t>(kPixS16, 64, 64, s16, -2000, 3000);
  ima->g2.pix_fill = s16[5];
  for (auto [fmin, fmax] : {std::pair{0.0f, 1.0f}, std::pair{0.25f, 0.6f}}) {
    const GreyMap map = GreyMap::Of(*ima, fmin, fmax);
    std::vector<uint8_t> bits(64 * 64);
    Image_Map_Grey(*ima, map, bits.data(), 64);
    for (size_t k = 0; k < s16.size(); ++k) ASSERT_EQ(bits[k], map(s16[k])) << k;
    EXPECT_EQ(bits[5], 10);
  }
  std::vector<int32_t> s32 = {-70000, 0, 70000, 5};
  auto wide = Image<int32_t>(kPixS32, 4, 1, s32, -70000, 70000);
  std::vector<uint8_t> bits(4);
  Image_Map_Grey(*wide, GreyMap::Of(*wide, 0, 1), bits.data(), 4);
  EXPECT_EQ(bits, (std::vector<uint8_t>{11, 128, 245, 128}));
}

TEST(ColourBar, ShowsTheRampThroughTheWindow) {
  auto v = Make_Viewer();
  v->fmin = 0.5f;
  Image_Set_Grey_Ramp(*v, nullptr);
  // 191: trunc((191 - 127.5) x 256 / 127.5 + 11).
  EXPECT_EQ((std::array{v->bar_index[0], v->bar_index[127], v->bar_index[191], v->bar_index[255]}),
            (std::array<uint8_t, 4>{11, 11, 11 + 127, 245}));
  Owner w(300, 200);
  Box bar;
  bar.x = 9, bar.y = 71, bar.width = 282, bar.height = 25;
  bar.Init(&w);
  Image_Draw_Color_Bar(*v, bar);
  // 4 pixels in from the left and top, 3 from the right and bottom.
  const int top = 200 - 71 - 25 + 4;
  EXPECT_EQ(w.surface().pixel(13, top), (Color{0, 0, 0}));
  EXPECT_EQ(w.surface().pixel(12 + 275, top + 17), (Color{255, 255, 255}));
  EXPECT_NE(w.surface().pixel(12 + 276, top), (Color{255, 255, 255}));
}

TEST(ColourMapping, ComponentsWindowedAndTransparentPixelsOutside) {
  fixtures::LogCapture log(0);
  auto v = Make_Viewer();
  const int i = Add(*v, Image<uint8_t>(kPixRGBA8, 2, 1, {10, 20, 250, 255, /**/ 1, 2, 3, 0}, 0, 255));
  v->fmin = 0.5f;
  ASSERT_EQ(Image_Read_Window(*v, i), 1);
  const auto& c = v->cache[i];
  ASSERT_EQ(c.bits.size(), 8u);  // stride 8
  EXPECT_EQ(c.header->bit_count, 24);
  // Blue, green, red: 250 -> trunc(122.5 * 256 / 127.5), the others below the window.
  EXPECT_EQ((std::vector<uint8_t>(c.bits.begin(), c.bits.begin() + 6)), (std::vector<uint8_t>{245, 0, 0, 128, 128, 180}));
}

TEST(Display, ZoomFitsAspectAndPanSliders) {
  fixtures::LogCapture log(0);
  auto v = Make_Viewer();
  auto wide = Image<uint8_t>(kPixU8, 640, 480, std::vector<uint8_t>(640 * 480), 0, 255);
  EXPECT_FLOAT_EQ(Image_Scale_Window(*v, 300, 300, *wide), 0.46875f);
  auto tall = Image<uint8_t>(kPixU8, 256, 256, std::vector<uint8_t>(256 * 256, 200), 0, 255);
  tall->g1.pix_dim = {0.5f, -1.0f, 1};  // aspect 2
  EXPECT_FLOAT_EQ(Image_Scale_Window(*v, 300, 300, *tall), 300.0f / 512);
  // No pixels: the zoom stays; a pixel width of 0 counts as square.
  auto empty = Image<uint8_t>(kPixU8, 0, 0, {}, 0, 0);
  EXPECT_FLOAT_EQ(Image_Scale_Window(*v, 300, 300, *empty), 300.0f / 512);
  tall->g1.pix_dim = {0, 1, 1};
  EXPECT_FLOAT_EQ(Image_Aspect(*tall), 1.0f);

  Owner w(300, 300);
  tall->g1.pix_dim = {1, 1, 1};
  v->zoom = 2;
  ASSERT_EQ(Image_Scale_Image(*v, w, *tall), 1);
  EXPECT_EQ(std::tuple(v->pan_h.hidden(), v->pan_h.upper, v->pan_h.width), std::tuple(false, 106.0f, 283));
  EXPECT_EQ(std::tuple(v->pan_v.hidden(), v->pan_v.lower, v->pan_v.upper, (v->pan_v.flags & kToolReversed) != 0),
            std::tuple(false, 106.0f, 0.0f, true));
  v->zoom = 0.5f;
  Image_Scale_Image(*v, w, *tall);
  EXPECT_EQ(std::tuple(v->pan_h.hidden(), v->pan_v.hidden(), v->pan_v.lower), std::tuple(true, true, 256.0f));
}

TEST(Display, PaintsTheVisiblePartCentredOnBlackWithTheRampAndTheOutsideColour) {
  fixtures::LogCapture log(0);
  auto v = Make_Viewer();
  // Left half the fill value, right half the maximum; 4 x 4 with tall pixels.
  std::vector<int16_t> px(16);
  for (int k = 0; k < 16; ++k) px[k] = (k % 4) < 2 ? -32768 : 100;
  auto ima = Image<int16_t>(kPixS16, 4, 4, px, 0, 100);
  ima->g2.pix_fill = -32768;
  ima->g1.pix_dim = {1, 2, 1};
  const int i = Add(*v, std::move(ima));
  v->zoom = 10;  // 40 x 80 on screen
  platform::Image img(100, 100);
  platform::Canvas c(img);
  c.fill_rect({0, 0, 100, 100}, platform::kButtonFace);
  ASSERT_EQ(Image_Draw_Window(*v, c, {0, 0, 100, 100}, i), 1);
  // In the middle: 30 columns left and right, 10 rows above and below, black.
  const ViewLayout l = Image_Layout(*v, *v->entry(i), 100, 100);
  EXPECT_EQ((std::vector<int>{l.x0, l.y0, l.dw, l.dh}), (std::vector<int>{30, 10, 40, 80}));
  EXPECT_EQ(std::tuple(img.pixel(30, 10), img.pixel(69, 89)), std::tuple(Color{128, 128, 180}, Color{255, 255, 255}));
  const Color black{0, 0, 0};
  for (auto [x, y] : {std::pair{29, 50}, {70, 50}, {50, 9}, {50, 90}, {0, 0}, {99, 99}}) EXPECT_EQ(img.pixel(x, y), black) << x << "," << y;

  // Panned: a zoomed image starts at the offsets, whole image pixels; room is
  // left for the sliders. An offset past the image stays inside it.
  v->zoom = 40;  // 160 x 320
  v->pan_h.value = 2;
  v->pan_v.value = 99;
  ASSERT_EQ(Image_Draw_Window(*v, c, {0, 0, 100, 100}, i), 1);
  // 160 - 2 x 40 columns and 320 - 3 x 80 rows are left of the image.
  const Color white{255, 255, 255};
  EXPECT_EQ((std::array{img.pixel(0, 0), img.pixel(79, 79), img.pixel(80, 10), img.pixel(10, 80)}),
            (std::array{white, white, black, black}));
  // An entry whose buffer is shorter than its size says is not drawn.
  v->Image_List[i]->dim_y = 40;
  Image_Delete(*v, i);
  EXPECT_EQ(Image_Draw_Window(*v, c, {0, 0, 100, 100}, i), 0);
}

// An entry of a series, told apart by `tag` (its stored maximum).
std::unique_ptr<ImageHeader> Keyed(int tag, uint16_t study, uint16_t series, uint16_t image, uint16_t idx,
                                   const std::string& name, const std::string& id = {}) {
  auto ima = Image<uint8_t>(kPixU8, 2, 2, {0, 0, 0, 0}, 0, tag);
  ima->g1.study_num = study;
  ima->g1.series_num = series;
  ima->g1.image_num = image;
  ima->g1.image_idx = idx;
  ima->g3.patient_name = name;
  ima->g3.patient_ID = id;
  return ima;
}

std::vector<int> Tags(const Viewer& v) {
  std::vector<int> out;
  for (int k = 0; k <= v.last; ++k) out.push_back(v.Image_List[k]->g2.ima_max);
  return out;
}

TEST(ImageList, FiveSortPassesAndTheFrameList) {
  fixtures::LogCapture log(0);
  auto v = Make_Viewer();
  // Equal keys keep their order: keys 1, 1, 0 give C, A, B.
  Add(*v, Keyed(1, 0, 0, 0, 1, "P"));
  Add(*v, Keyed(2, 0, 0, 0, 1, "P"));
  Add(*v, Keyed(3, 0, 0, 0, 0, "P"));
  v->cache[2].bits = {42};
  Image_Sort(*v, v->last);
  EXPECT_EQ(Tags(*v), (std::vector<int>{3, 1, 2}));
  EXPECT_EQ(v->cache[0].bits, std::vector<uint8_t>{42});  // the cache moves with its entry

  // Series 2 loaded before series 1 of one patient; patients by name, an
  // entry without a name after every named one, and those by identifier.
  auto w = Make_Viewer();
  Add(*w, Keyed(1, 1, 2, 1, 0, "B"));
  Add(*w, Keyed(2, 1, 1, 1, 0, "B"));
  Add(*w, Keyed(3, 2, 1, 1, 0, "A"));
  Add(*w, Keyed(4, 0, 9, 1, 0, "", "ID1"));
  Add(*w, Keyed(5, 0, 9, 1, 0, "", "ID0"));
  Add(*w, Keyed(6, 0, 1, 1, 0, "C"));
  Text list;
  list.Init();
  w->message_list = &list;
  Image_Sort(*w, w->last);
  std::vector<std::string> names;
  for (int k = 0; k <= w->last; ++k) names.push_back(w->Image_List[k]->g3.patient_name + w->Image_List[k]->g3.patient_ID);
  EXPECT_EQ(names, (std::vector<std::string>{"A", "B", "B", "C", "ID0", "ID1"}));
  EXPECT_EQ(Tags(*w), (std::vector<int>{3, 2, 1, 6, 5, 4}));  // B's series 1 before its series 2
  ASSERT_EQ(list.lines.size(), 7u);
  EXPECT_EQ(list.lines[6], "\x02 ------- 6 frames --------");
  EXPECT_EQ(list.lines[5], "\x02""frame [\x01  1\x02] study:\x01""2  \x02 serie:\x01""1  \x02 image:\x01""1  \x02 (\x01""2\x02x\x01""2\x02)(\x01""A\x02)");
  EXPECT_EQ(list.lines[0], "\x02""frame [\x01  6\x02] study:\x01""0  \x02 serie:\x01""9  \x02 image:\x01""1  \x02 (\x01""2\x02x\x01""2\x02)(\x01*** no name ***\x02)");
  w->Image_List[0]->g1.image_idx = 3;
  w->Image_List[0]->g3.patient_name.clear();
  Image_Sort(*w, 0);
  EXPECT_EQ(list.lines[0], "\x02""frame [\x01  1\x02] study:\x01""2  \x02 serie:\x01""1  \x02 image:\x01  1:3  \x02 (\x01""2\x02x\x01""2\x02)(\x01""Anonymous\x02)");
  list.lines.clear();
  Image_Sort(*w, -1);
  EXPECT_EQ(list.lines, (std::deque<std::string>{"\x02 ------- 0 frames --------"}));
}

TEST(ImageList, SeriesShareOneRangeAndColourStandsAlone) {
  fixtures::LogCapture log(0);
  auto v = Make_Viewer();
  auto a = Keyed(0, 1, 1, 1, 0, "P", "X");
  a->g2.serie_min = -10, a->g2.serie_max = 50;
  auto b = Keyed(0, 1, 1, 2, 0, "P", "X");
  b->g2.serie_min = 0, b->g2.serie_max = 90;
  auto other = Keyed(0, 1, 1, 3, 0, "P", "Y");  // another patient identifier
  other->g2.serie_min = 5, other->g2.serie_max = 6;
  auto colour = Image<uint8_t>(kPixRGB8, 1, 1, {1, 2, 3}, 0, 9);
  Add(*v, std::move(a));
  Add(*v, std::move(b));
  Add(*v, std::move(other));
  Add(*v, std::move(colour));
  v->cache[0].header = std::make_unique<BitmapInfo>();
  v->cache[2].header = std::make_unique<BitmapInfo>();
  Image_Series_Range(*v, v->last);
  std::vector<std::pair<int32_t, int32_t>> ranges;
  for (int k = 0; k <= v->last; ++k) ranges.emplace_back(v->Image_List[k]->g2.serie_min, v->Image_List[k]->g2.serie_max);
  EXPECT_EQ(ranges, (std::vector<std::pair<int32_t, int32_t>>{{-10, 90}, {-10, 90}, {5, 6}, {0, 255}}));
  EXPECT_FALSE(v->cache[0].header);  // its range changed
  EXPECT_TRUE(v->cache[2].header);
}

TEST(ImageList, ReadsFilesThroughTheReaders) {
  fixtures::LogCapture log(1);
  auto v = Make_Viewer();
  const std::string dir = testing::TempDir();
  ASSERT_TRUE(fixtures::Write_File(dir + "list_a.gen", fixtures::Genesis_File({.width = 32, .height = 16})));
  const std::string text = "no image in here, only words\n";
  ASSERT_TRUE(fixtures::Write_File(dir + "list_junk.bin", std::vector<uint8_t>(text.begin(), text.end())));

  ASSERT_EQ(Image_Read_File(*v, dir + "list_a.gen", 0), 1);
  v->last = 0;
  const ImageHeader& e = *v->Image_List[0];
  EXPECT_EQ(std::tuple(e.dim_x, e.g2.serie_min, e.g2.serie_max), std::tuple(32, e.g2.ima_min, e.g2.ima_max));
  EXPECT_LT(e.g2.ima_min, e.g2.ima_max);
  ASSERT_EQ(Image_Read_Window(*v, 0), 1);
  EXPECT_EQ(v->cache[0].bits.size(), 32u * 16);

  // No room left: the count comes back and nothing is stored past the end.
  EXPECT_EQ(Image_Read_File(*v, dir + "list_a.gen", kMaxImages), 1);
  EXPECT_EQ(Image_Read_File(*v, dir + "list_a.gen", kMaxImages - 1), 1);
  EXPECT_TRUE(v->Image_List[kMaxImages - 1]);

  // A multi-frame file: one entry per frame in the file's order, one range.
  std::vector<uint8_t> frames;
  for (int k = 0; k < 6; ++k)
    for (int p = 0; p < 6; ++p) frames.push_back(static_cast<uint8_t>(10 * k + p)), frames.push_back(0);
  fixtures::DicomWriter dcm(8);
  dcm.Part10("1.2.840.10008.1.2.1").Text(0x0010, 0x0010, "PN", "DOE^JOHN").Text(0x0028, 0x0008, "IS", "6");
  dcm.Image(2, 3, 16).Pixels(frames);
  ASSERT_TRUE(fixtures::Write_File(dir + "list_frames.dcm", dcm.Done(1024)));
  ASSERT_EQ(Image_Read_File(*v, dir + "list_frames.dcm", 1), 6);
  for (int k = 0; k < 6; ++k) {
    const ImageHeader& f = *v->Image_List[1 + k];
    EXPECT_EQ(std::tuple(f.g1.image_idx, Image_Pixel_Value(nullptr, &f, f.data.data(), 0, 0, 0, 0), f.g2.serie_min,
                         f.g2.serie_max),
              std::tuple(k + 1, 10 * k, 0, 55));
  }
  // Six frames do not fit in five slots.
  EXPECT_EQ(Image_Read_File(*v, dir + "list_frames.dcm", kMaxImages - 5), 6);
  EXPECT_FALSE(v->Image_List[kMaxImages - 5]);

  log.clear();
  EXPECT_EQ(Image_Read_File(*v, dir + "list_junk.bin", 1), -1);
  EXPECT_EQ(log.Joined(2), "");
  EXPECT_EQ(Image_Read_File(*v, dir + "list_missing.gen", 1), 0);
  EXPECT_TRUE(log.Has("\xf1\x04""ERROR:\x01 Unable to open file !", 2));
  EXPECT_TRUE(log.Has("\xf1\x01\t\t file: \x02" + dir + "list_missing.gen ", 2));
  EXPECT_EQ(v->Image_List[1]->g1.image_idx, 1);  // untouched by the failures
}

}  // namespace

namespace {

// Paging through a long series keeps at most kCacheLimit mapped images: the
// least recently shown are freed and mapped again when shown.
TEST(Display, TheCacheHoldsTheImagesShownLast) {
  fixtures::LogCapture log(0);
  auto v = Make_Viewer();
  const int n = kCacheLimit + 8;
  for (int k = 0; k < n; ++k) Add(*v, Grey(64, 64, static_cast<int16_t>(k)));
  auto held = [&] {
    std::vector<int> out;
    for (int k = 0; k < n; ++k)
      if (!v->cache[k].bits.empty()) out.push_back(k);
    return out;
  };
  for (int k = 0; k < n; ++k) ASSERT_EQ(Image_Read_Window(*v, k), 1);
  std::vector<int> want;
  for (int k = 8; k < n; ++k) want.push_back(k);
  EXPECT_EQ(held(), want);
  EXPECT_FALSE(v->cache[0].header);
  // Shown again: mapped again, and the oldest of the others goes.
  Image_Read_Window(*v, 10);  // a hit only refreshes its turn
  ASSERT_EQ(Image_Read_Window(*v, 0), 1);
  EXPECT_EQ(std::tuple(v->cache[0].bits.size(), !!v->cache[10].header, v->cache[8].bits.empty()),
            std::tuple(64u * 64, true, true));
  EXPECT_EQ(held().size(), size_t(kCacheLimit));
}

}  // namespace
