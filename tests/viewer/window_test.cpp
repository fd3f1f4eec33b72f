// Overlay texts and orientation labels, the cursor read-out, and the image
// window's frame stepping, dragging, arrow keys and title.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "tests/fixtures/log_capture.h"
#include "tests/fixtures/test_util.h"
#include "tests/viewer/helpers.h"
#include "viewer/scan_log.h"
#include "viewer/scan_overlay.h"
#include "viewer/scan_window.h"

using platform::Color;
using platform::Point;
using namespace viewer_test;

namespace {

TEST(Overlay, StudyLineDateAndDetailLines) {
  ImageHeader ima;
  Image_Init_Header(ima);
  ima.g1.study_ID = "ABC";
  ima.g1.series_num = 2;
  ima.g1.image_num = 7;
  ima.g1.image_idx = 3;
  EXPECT_EQ(Overlay_Study_Line(ima), "Study:ABC, Series:2, Image:7.3");
  ima.g1.study_ID.clear();
  ima.g1.study_num = 5;
  ima.g1.acq_num = 4;
  ima.g1.image_idx = 7;
  EXPECT_EQ(Overlay_Study_Line(ima), "Study:5, Series:2, Aquis.:4 Image:7");

  {
    fixtures::UtcZone utc;
    EXPECT_EQ(Overlay_Date_Line(ima), "");
    ima.g1.image_time = 946728300;
    EXPECT_EQ(Overlay_Date_Line(ima), "01 Jan 2000  12:05:00");
  }

  ima.g3.patient_sex = 'F';
  ima.g3.patient_age = {42, 0, 3};
  ima.g3.patient_weight = 61.9f;
  ima.g3.radiologist_name = "DR HOUSE";
  EXPECT_EQ(Overlay_Lines(ima, 2), (std::vector<std::string>{"patient_sex    \tF", "patient_age    \t42 Y",
                                                             "patient_age    \t3 D", "patient_weight \t61",
                                                             "radiologist_name\tDR HOUSE"}));
  // Acquisition lines: the MR ones only for MR, the CT ones only for CT.
  ima.format = 12;
  ima.modality = kModalityMR;
  ima.g4.mr.repetition_time = 500;
  ima.g4.ct.tube_voltage = 120;
  ima.g1.position = {1, 2, 3, 0};
  EXPECT_EQ(Overlay_Lines(ima, 3), (std::vector<std::string>{"image format:\tGE SIGNA-5", "modality:     \tMR Magnetic Resonance",
                                                             "image pos: \t1.00  2.00  3.00", "TR (Repetition)   \t500.0000 msec",
                                                             "TI (Inversion)    \t0.0000 msec", "TE (Echo)         \t0.0000 msec"}));
  ima.modality = kModalityCT;
  const auto ct = Overlay_Lines(ima, 3);
  EXPECT_EQ(std::tuple(ct.size(), ct.back()), std::tuple(size_t{4}, std::string("tube voltage \t120.00 kV")));
}

TEST(Overlay, OrientationLabelsByLabelMode) {
  ImageHeader ima;
  Image_Init_Header(ima);
  ima.flags = kFlagDirValid;
  ima.g1.pix_dim = {1, 1, 1};
  struct { Vec4 r, c; float pw; uint8_t mode; const char *left, *right, *bottom; } cases[] = {
      {{1, 0, 0, 0}, {0, 1, 0, 0}, 1, 0, "RIGHT", "LEFT", "ANTERIOR"},
      {{1, 0, 0, 0}, {0, 1, 0, 0}, 1, 1, "LEFT", "RIGHT", "POSTERIOR"},
      {{-1, 0, 0, 0}, {0, 0, 1, 0}, 1, 2, "LEFT", "RIGHT", "HEAD"},
      {{1, 0, 0, 0}, {0, 0, -1, 0}, -1, 0, "LEFT", "RIGHT", "HEAD"},  // negative pixel width
      {{0, 0, 1, 0}, {0, -1, 0, 0}, 1, 1, "FEET", "HEAD", "ANTERIOR"},
      {{0.6f, 0.6f, 0.5f, 0}, {0, 0.9f, 0.1f, 0}, 1, 0, "", "", "ANTERIOR"},  // no axis above 0.8
      {{1, 0, 0, 0}, {0, 1, 0, 0}, 1, 3, "", "", ""},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << int(k.mode) << " row " << &k - cases);
    ima.g1.dir_h = k.r;
    ima.g1.dir_v = k.c;
    ima.g1.pix_dim[0] = k.pw;
    ima.g1.label_mode = k.mode;
    const OverlayLabels l = Overlay_Orientation(ima);
    EXPECT_EQ((std::vector<std::string>{l.left, l.right, l.bottom}), (std::vector<std::string>{k.left, k.right, k.bottom}));
  }
  // The top edge carries the opposite of the bottom one.
  ima.g1.dir_h = {1, 0, 0, 0};
  ima.g1.dir_v = {0, 1, 0, 0};
  ima.g1.pix_dim = {1, 1, 1};
  ima.g1.label_mode = 0;
  EXPECT_EQ(Overlay_Orientation(ima).top, "POSTERIOR");
  ima.flags = 0;
  EXPECT_EQ(Overlay_Orientation(ima).left + Overlay_Orientation(ima).top, "");
}

TEST(Overlay, TextStaysReadableInSmallWindowsAndShowsTheWindowInHU) {
  EXPECT_EQ(Overlay_Font_Height(100, 100), kOverlayMinFont);
  EXPECT_EQ(Overlay_Font_Height(1000, 1000), 27);  // 200 pt at 96 dpi, a tenth
  EXPECT_EQ(Image_Window_Text({-600, 1500}), "W 1500 L -600");
  EXPECT_EQ(Image_Window_Text({0.5, 2.25}), "W 2.25 L 0.5");
  // CT: stored 0..4095 with intercept -1024 is -1024..3071 HU.
  auto ct = Grey(8, 8);
  ct->g2.serie_max = 4095;
  ct->g2.rescale_intercept = -1024;
  Viewer v;
  Image_Window_Set_Real(v, *ct, 40, 400);
  EXPECT_NEAR(v.fmin, (-160.0 + 1024) / 4095, 1e-6);
  EXPECT_NEAR(v.fmax, (240.0 + 1024) / 4095, 1e-6);
  // Drawn with group 1, right-aligned above the date line.
  platform::Image img(400, 400);
  platform::Canvas c(img);
  c.fill_rect({0, 0, 400, 400}, Color{0, 0, 128});
  Overlay_Draw_Window(v, c, {0, 0, 400, 400}, *ct, 0, 1, 0, 0);
  const int lh = platform::Font::Create({"Arial", Overlay_Font_Height(400, 400)}).metrics().height;
  EXPECT_TRUE(Has_Colour(img, {250, 400 - 2 * lh - 3, 145, lh}, Color{255, 255, 0}));
}

TEST(Overlay, SwitchesDrawTheirGroupsOutlined) {
  fixtures::LogCapture log(0);
  Viewer v;
  auto ima = Grey(8, 8);
  ima->g3.patient_ID = "PID-0042";
  platform::Image img(400, 400);
  platform::Canvas c(img);
  c.fill_rect({0, 0, 400, 400}, Color{0, 0, 128});
  Overlay_Draw_Window(v, c, {0, 0, 400, 400}, *ima, 0, 0, 0, 0);
  EXPECT_FALSE(Has_Colour(img, {0, 0, 400, 400}, Color{0, 0, 0}));
  Overlay_Draw_Window(v, c, {0, 0, 400, 400}, *ima, 0, 1, 0, 0);
  const int lh = platform::Font::Create({"Arial", Overlay_Font_Height(400, 400)}).metrics().height;
  // No name: the first line stays empty, the identifier is on the second.
  EXPECT_FALSE(Has_Colour(img, {0, 2, 200, lh}, Color{255, 255, 0}));
  EXPECT_TRUE(Has_Colour(img, {0, 3 + lh, 200, lh}, Color{255, 255, 0}));
  EXPECT_TRUE(Has_Colour(img, {0, 3 + lh, 200, lh}, Color{0, 0, 0}));  // the outline
  EXPECT_TRUE(Has_Colour(img, {0, 400 - lh - 3, 200, lh}, Color{255, 255, 0}));  // the study line
}

TEST(ReadOut, RealAndStoredValuesPositionOnlyWithGeometryAndCentredImages) {
  Viewer v;
  auto ima = Grey(4, 3, 1124);
  ima->g2.rescale_intercept = -1024;
  ima->g2.rescale_slope = 2;  // the core converts stored x slope + intercept
  ima->g1.position = {10, 20, 30, 0};
  ima->g1.dir_h = {1, 0, 0, 0};
  ima->g1.dir_v = {0, 1, 0, 0};
  ima->g1.pix_dim = {0.5f, 1, 1};  // tall pixels: aspect 2
  ima->flags = kFlagDirValid;
  reinterpret_cast<int16_t*>(ima->data.data())[1 * 4 + 2] = -32768;
  v.zoom = 10;  // 40 x 60 on the screen
  EXPECT_EQ(Overlay_Read_Out(v, *ima, 40, 60, 5, 5), "pix:0x0  value:1224  stored:1124  pos:  10.00   23.00   30.00");
  // Beyond the right edge: the last column; row 1 of tall pixels at y 20.
  EXPECT_EQ(Overlay_Read_Out(v, *ima, 40, 60, 500, 20), "pix:3x1  value:1224  stored:1124  pos:  11.50   22.00   30.00");
  EXPECT_EQ(Overlay_Read_Out(v, *ima, 40, 60, 25, 20), "pix:2x1  value:outside  pos:  11.00   22.00   30.00 ");
  // A window narrower than the image: the pan offset counts (whole pixels).
  v.pan_h.value = 1.7f;
  EXPECT_EQ(Overlay_Read_Out(v, *ima, 30, 60, 15, 20), "pix:2x1  value:outside  pos:  11.00   22.00   30.00 ");
  // A window wider than the image: the image sits in the middle (x from 30).
  v.pan_h.value = 0;
  EXPECT_EQ(Overlay_Read_Out(v, *ima, 100, 60, 30 + 25, 20), "pix:2x1  value:outside  pos:  11.00   22.00   30.00 ");
  EXPECT_EQ(Overlay_Read_Out(v, *ima, 100, 60, 29, 5).substr(0, 8), "pix:0x0 ");
  // No patient geometry: no invented millimetres; no rescale: one value.
  ima->flags = 0;
  ima->g2.rescale_intercept = 0;
  ima->g2.rescale_slope = 1;
  EXPECT_EQ(Overlay_Read_Out(v, *ima, 40, 60, 5, 5), "pix:0x0  value:1124");
  EXPECT_EQ(Overlay_Read_Out(v, *ima, 40, 60, 25, 20), "pix:2x1  value:outside ");

  auto rgb = Image<uint8_t>(kPixRGB8, 1, 1, {10, 20, 30}, 0, 255);
  EXPECT_EQ(Overlay_Read_Out(v, *rgb, 10, 10, 0, 0), "pix:0x0  col:10 20 30 ");
  rgb->data = PixelBuffer::Zeroed(2);  // shorter than its size: no read-out
  EXPECT_EQ(Overlay_Read_Out(v, *rgb, 10, 10, 0, 0), "");
}

struct Hooks : PanelHooks {
  float zoom = 0;
  int frames = 0, releases = 0, shown = -1;
  std::string read_out;
  void Zoom_Fitted(float z) override { zoom = z; }
  void Frame_Changed() override { ++frames; }
  void Step_Buttons_Release() override { ++releases; }
  void Read_Out(const std::string& t) override { read_out = t; }
  void Show_Image(int index) override { shown = index; }
};

class ImageWindowTest : public testing::Test {
 protected:
  void SetUp() override {
    Image_Create_Palette(v);
    Image_Set_Grey_Ramp(v, nullptr);
    v.hooks = &hooks;
    v.Image_List[0] = Grey(256, 256);
    v.last = 0;
  }
  void Pointer_At(Point client) { platform::Set_Pointer_Position(w->client_to_screen(client)); }
  Point Pointer() const { return w->screen_to_client(platform::Pointer_Position()); }
  fixtures::LogCapture log{0};
  Viewer v;
  Hooks hooks;
  std::unique_ptr<ImageWindow> w = std::make_unique<ImageWindow>(v);
};

TEST_F(ImageWindowTest, FitsPaintsAndTitles) {
  ASSERT_TRUE(w->Open());
  EXPECT_EQ(std::tuple(hooks.zoom, v.zoom), std::tuple(300.0f / 256, 300.0f / 256));
  w->invalidate(true);
  w->update_now();
  EXPECT_EQ(std::tuple(w->title(), hooks.releases), std::tuple(std::string("Kemascopia"), 1));
  EXPECT_EQ(w->surface().pixel(150, 150), (Color{25, 25, 25}));  // 100 of 0..1000: index 34, grey 25
  v.Image_List[0]->g3.patient_name = "DOE^JANE";
  w->invalidate(false);
  w->update_now();
  EXPECT_EQ(w->title(), "Kemascopia: DOE^JANE");
}

TEST_F(ImageWindowTest, RightClickStepsOnlyWithSeveralImages) {
  ASSERT_TRUE(w->Open());
  w->on_mouse_down(platform::kRightButton, {10, 10});
  EXPECT_EQ(std::tuple(v.current, hooks.frames), std::tuple(0, 0));
  v.Image_List[1] = Grey(128, 128);
  v.last = 1;
  w->on_mouse_down(platform::kRightButton, {10, 10});
  EXPECT_EQ(std::tuple(v.current, hooks.frames), std::tuple(1, 1));
}

TEST_F(ImageWindowTest, DragPansByScreenPixelsOverZoom) {
  ASSERT_TRUE(w->Open());
  v.zoom = 2;
  Image_Scale_Image(v, *w, *v.Image_List[0]);
  v.pan_h.value = 50;
  v.pan_v.value = 50;
  Pointer_At({100, 100});
  w->on_mouse_down(platform::kLeftButton, {100, 100});
  ASSERT_TRUE(w->dragging());
  Pointer_At({110, 96});
  w->on_mouse_move({110, 96});
  EXPECT_EQ(std::tuple(v.pan_h.value, v.pan_v.value), std::tuple(45.0f, 52.0f));
  w->on_mouse_up(platform::kLeftButton, {110, 96});
  EXPECT_FALSE(w->dragging());
  // Not dragging: the read-out follows the pointer.
  w->on_mouse_move({20, 20});
  EXPECT_EQ(hooks.read_out.rfind("pix:", 0), 0u);
  // A click on the horizontal slider reads it instead of dragging.
  Pointer_At({150, 300 - 1 - 8});
  w->on_mouse_down(platform::kLeftButton, {150, 291});
  EXPECT_FALSE(w->dragging());
  EXPECT_TRUE(platform::Pointer_Confinement().has_value());
  w->on_mouse_up(platform::kLeftButton, {150, 291});
  EXPECT_FALSE(platform::Pointer_Confinement().has_value());
}

TEST_F(ImageWindowTest, CtrlWheelZoomsAroundThePointer) {
  ASSERT_TRUE(w->Open());
  const float fit = 300.0f / 256;
  // Image pixel (64, 128) lies under (75, 150) before; after a notch in it still does.
  platform::Set_Keyboard_Modifiers(platform::kModControl);
  w->on_wheel(120, {75, 150});
  EXPECT_FLOAT_EQ(v.zoom, fit * 1.25f);
  EXPECT_EQ(hooks.zoom, v.zoom);  // the Scale valuator follows
  EXPECT_NEAR(v.pan_h.value, 64 - 75 / v.zoom, 1e-3);
  EXPECT_NEAR(v.pan_v.value, 128 - 150 / v.zoom, 1e-3);
  // Far in: the Scale's 9.99 at most. A small image fitted above 9.99 zooms
  // out from its fit, not from 9.99.
  w->on_wheel(120 * 30, {0, 0});
  EXPECT_FLOAT_EQ(v.zoom, 9.99f);
  v.Image_List[0] = Grey(16, 16);
  w->on_size(300, 300);
  w->on_wheel(-120, {150, 150});
  EXPECT_FLOAT_EQ(v.zoom, 300.0f / 16 / 1.25f);
  platform::Set_Keyboard_Modifiers(0);
  EXPECT_EQ(hooks.shown, -1);  // no image step with Ctrl
  v.Image_List[1] = Grey(256, 256);
  v.last = 1;
  w->on_wheel(-120, {75, 150});
  EXPECT_EQ(hooks.shown, 1);
}

TEST_F(ImageWindowTest, ReadOutFollowsTheImageUnderAStillPointer) {
  ASSERT_TRUE(w->Open());
  v.Image_List[1] = Grey(256, 256, 700);
  v.last = 1;
  Pointer_At({100, 100});
  if (Pointer() != Point{100, 100}) GTEST_SKIP() << "the pointer cannot be placed";
  w->on_mouse_move({100, 100});
  EXPECT_EQ(hooks.read_out, "pix:85x85  value:100");
  v.current = 1;  // stepped by a key or the timer, the pointer still
  w->invalidate(true);
  w->update_now();
  EXPECT_EQ(hooks.read_out, "pix:85x85  value:700");
}

TEST_F(ImageWindowTest, ArrowKeysMoveThePointerOrPan) {
  ASSERT_TRUE(w->Open());
  EXPECT_EQ(ImageWindow::Step_X(0.4f), 1);  // never a step of 0
  v.zoom = 2;
  Image_Scale_Image(v, *w, *v.Image_List[0]);
  v.pan_h.value = 10;
  v.pan_v.value = 10;
  Pointer_At({100, 100});
  // Up after pixels turn 1.5 high: trunc(1.5 x 2).
  for (auto [key, height, at] : {std::tuple{platform::kKeyRight, 1.0f, Point{102, 100}},
                                 {platform::kKeyDown, 1.0f, Point{102, 102}}, {platform::kKeyUp, 1.5f, Point{102, 99}}}) {
    v.Image_List[0]->g1.pix_dim = {1, height, 1};
    w->on_key(key);
    EXPECT_EQ(Pointer(), at);
  }
  // Outside the window on that side: pan by one image pixel instead.
  Pointer_At({300, 50});
  w->on_key(platform::kKeyRight);
  EXPECT_FLOAT_EQ(v.pan_h.value, 11);
  Pointer_At({100, -5});
  // A window at the screen's corner cannot have the pointer above or left of it.
  if (Pointer() != Point{100, -5}) GTEST_SKIP() << "the pointer stays on the screen";
  w->on_key(platform::kKeyUp);
  EXPECT_FLOAT_EQ(v.pan_v.value, 9);
  EXPECT_EQ(Pointer(), (Point{100, -5}));
  Pointer_At({-3, 50});
  w->on_key(platform::kKeyLeft);
  EXPECT_FLOAT_EQ(v.pan_h.value, 10);
}

TEST(ViewerSink, ErrorsAndReportsReachTheListTracesOnlyTheFile) {
  const std::string dir = Log_Get_Trace_Dir(), file = Log_Get_Trace_File();
  const int level = Log_Get_Trace_Level();
  Log_Set_Trace_Dir(testing::TempDir());
  Log_Set_Trace_File("viewer_sink_trace.dat");
  std::remove(Log_Trace_Path().c_str());
  Text list;
  list.Init();
  Log_Viewer_Set_List(&list);
  Log_Set_Trace_Level(0);
  Log_Viewer_Sink(nullptr, 2, "no trace file at level 0");
  Log_Set_Trace_Level(2);
  Log_Viewer_Sink(nullptr, 2, "\xF1\x04""ERROR:\x01 Unable to open file !");
  Log_Viewer_Sink(nullptr, 7, "in Kema_Image_Header_Read(stream:0)");
  Log_Viewer_Sink(nullptr, 4, "\x02total:\x01 3 images in memory");
  Log_Viewer_Sink(nullptr, 12, "not written");
  Log_Viewer_Set_List(nullptr);
  EXPECT_EQ(list.lines, (std::deque<std::string>{"\x02total:\x01 3 images in memory", "\xF1\x04""ERROR:\x01 Unable to open file !",
                                                 "no trace file at level 0"}));
  EXPECT_EQ(Slurp(Log_Trace_Path()),
            "WARNING: ERROR: Unable to open file !\n    in Kema_Image_Header_Read(stream:0)\nREPORT: total: 3 images in memory\n");
  Log_Set_Trace_Level(level);
  Log_Set_Trace_Dir(dir);
  Log_Set_Trace_File(file);
}

}  // namespace
