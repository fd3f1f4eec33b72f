// The application: options and usage, the control panel driving the image
// window (stepping, cine, min/max, wheel, overlay switches), loading from
// every source with its limits, header listing, bitmap export and the raw
// import window.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "log/log.h"
#include "tests/fixtures/dicom_writer.h"
#include "tests/fixtures/genesis_writer.h"
#include "tests/fixtures/test_util.h"
#include "tests/viewer/helpers.h"
#include "viewer/scan_image.h"
#include "viewer/scan_log.h"
#include "viewer/scan_proc_raw.h"
#include "viewer/scan_proc_tools.h"
#include "viewer/scan_overlay.h"
#include "viewer/scan_view.h"
#include "viewer/scan_window.h"

namespace fs = std::filesystem;
using platform::Point;
using namespace viewer_test;

namespace {

TEST(ViewArgs, TraceLevelsFilesAndUnknownOptions) {
  struct Case {
    std::vector<std::string> args;
    int level;
    std::vector<std::string> files;
    std::string unknown;
  } cases[] = {
      {{"-v"}, 5, {}, ""},
      {{"-t", "3", "a.dcm"}, 3, {"a.dcm"}, ""},
      {{"-T", "3", "a.dcm"}, 3, {"3", "a.dcm"}, ""},  // -T: the value is also a file name
      {{"a.dcm", "-t"}, 5, {"a.dcm"}, ""},             // -t last: as -v
      {{"b", "-x", "c"}, 0, {"b", "c"}, "-x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const ViewArgs a = Scan_View_Parse(c.args);
    EXPECT_EQ(std::tuple(a.trace_level, a.files, a.unknown), std::tuple(c.level, c.files, c.unknown));
  }
}

TEST(ViewArgs, UnknownOptionPrintsUsageAndExitsWith2) {
  const std::string out = testing::TempDir() + "usage.txt";
  const std::string cmd = std::string(KEMASCOPIA_PATH) + " -x a.dcm >" + out + " 2>" + out + ".err";
  const int status = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_EQ(Slurp(out + ".err"), "unknown argument (-x)\n");
  EXPECT_EQ(Slurp(out),
            "\n ----- ----- Kemascopia (version: 1.2 Rev-10) ----- ----- \n\n\n --- usage: ---\n Kemascopia [-v] [-t val]\n\n");
}

// A panel over a folder of CT slices, with the viewer's sink on its list.
class PanelTest : public testing::Test {
 protected:
  void SetUp() override {
    dir = fs::path(testing::TempDir()) / ("panel_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "series");
    for (int k = 0; k < 4; ++k) files.push_back(Write("series/ct" + std::to_string(k) + ".dcm", fixtures::Dicom_CT_Slice(32, 32, k)));
    setenv("KEMASCOPIA_EXPORT_DIR", (dir / "export").c_str(), 1);
    old_sink = Log_Get_Sink();
    old_level = Log_Get_Trace_Level();
    Log_Set_Trace_Level(0);
  }
  void TearDown() override {
    panel.reset();
    Raw_Import_Close_All();
    Log_Set_Sink(old_sink);
    Log_Set_Handle(nullptr);
    Log_Viewer_Set_List(nullptr);
    Log_Set_Trace_Level(old_level);
    fs::remove_all(dir);
  }
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = (dir / name).string();
    fixtures::Write_File(path, bytes);
    return path;
  }
  void Start(std::vector<std::string> names) {
    panel = std::make_unique<Panel>(std::move(names));
    panel->quit = [this](int code) { quit_code = code; };
    Log_Set_Handle(static_cast<platform::Window*>(panel.get()));
    Log_Set_Sink(Log_Viewer_Sink);
    ASSERT_TRUE(panel->Open(false));
    Pump();
  }
  static void Pump() {
    for (int k = 0; k < 4; ++k) platform::App::process_events();
  }
  Point At(const Widget& w, int dx = -1) const {
    return {w.x + (dx < 0 ? w.width / 2 : dx), panel->client_height() - 1 - (w.y + w.height / 2)};
  }
  void Click(const Widget& w, int dx = -1) {
    panel->on_mouse_down(platform::kLeftButton, At(w, dx));
    panel->on_mouse_up(platform::kLeftButton, At(w, dx));
  }
  bool Listed(const std::string& part) const {
    for (const auto& l : panel->list.lines)
      if (l.find(part) != std::string::npos) return true;
    return false;
  }

  fs::path dir;
  std::vector<std::string> files;
  std::unique_ptr<Panel> panel;
  int quit_code = -1;
  LogSink old_sink = nullptr;
  int old_level = 0;
};

TEST_F(PanelTest, LoadsStepsWithWrappingAndFollowsTheRightClick) {
  Start(files);
  ASSERT_EQ(panel->v.count(), 4);
  EXPECT_TRUE(Listed("\x02total:\x01 4 images in memory"));
  EXPECT_TRUE(Listed("\x02reading file[1]:\x01 "));
  EXPECT_EQ(std::tuple(panel->v.current, panel->frame.value), std::tuple(0, 1));  // a series opens on its first slice
  ASSERT_TRUE(panel->image && panel->image->exists());
  panel->image->update_now();
  // The list names the program and its version, no placeholder address.
  EXPECT_EQ(std::tuple(panel->image->title(), panel->show_header.greyed(), panel->list.name),
            std::tuple("Kemascopia: BODY PHANTOM", false, "Kemascopia 1.2 Rev-10"));
  EXPECT_EQ((std::vector<int>{panel->v.switches[0], panel->v.switches[1], panel->v.switches[2], panel->v.switches[3]}),
            (std::vector<int>{1, 1, 0, 0}));  // file name and patient lines from the start
  Click(panel->rewind);
  EXPECT_EQ(std::tuple(panel->v.current, panel->frame.value), std::tuple(3, 4));  // before the first: the last
  Click(panel->forward);
  EXPECT_EQ(panel->v.current, 0);  // past the last: the first
  panel->image->on_mouse_down(platform::kRightButton, {10, 10});
  EXPECT_EQ(std::tuple(panel->v.current, panel->frame.value), std::tuple(1, 2));
  // A load that adds nothing still reports the total and re-sorts; the image
  // shown stays.
  panel->Files_Dropped({(dir / "missing.dcm").string()});
  Pump();
  EXPECT_EQ(std::tuple(panel->v.count(), panel->v.current), std::tuple(4, 1));
  EXPECT_TRUE(Listed("Unable to open file !"));
  EXPECT_EQ(std::count(panel->list.lines.begin(), panel->list.lines.end(), "\x02total:\x01 4 images in memory"), 2);
}

TEST_F(PanelTest, CineSpeedMinMaxWheelAndSwitches) {
  Start(files);
  Click(panel->play);
  EXPECT_EQ(std::tuple(panel->animating, panel->frame.hidden(), panel->speed.hidden(), panel->forward.greyed()),
            std::tuple(1, true, false, true));
  for (int current : {1, 2}) {
    panel->on_timer(kAnimationTimer);
    EXPECT_EQ(panel->v.current, current);
  }
  Click(panel->stop);
  EXPECT_EQ(std::tuple(panel->animating, panel->speed.hidden(), panel->frame.value), std::tuple(0, true, 3));
  panel->on_timer(kAnimationTimer);
  EXPECT_EQ(panel->v.current, 2);

  // Moving min re-maps the shown image.
  const std::vector<uint8_t> before = panel->v.cache[2].bits;
  Click(panel->vmin, panel->vmin.width / 2);
  EXPECT_GT(panel->vmin.value, 0.1f);
  EXPECT_FLOAT_EQ(panel->v.fmin, panel->vmin.value);
  ASSERT_TRUE(panel->v.cache[2].header);
  EXPECT_NE(panel->v.cache[2].bits, before);

  // Wheel over the frame valuator: 60 + 60 is one step, 250 two and 10 kept.
  const Point over = At(panel->frame);
  panel->on_wheel(60, over);
  EXPECT_EQ(panel->frame.value, 3);
  panel->on_wheel(60, over);
  EXPECT_EQ(std::tuple(panel->frame.value, panel->wheel, panel->v.current), std::tuple(4, 0, 3));
  panel->on_wheel(-250, over);
  EXPECT_EQ(std::tuple(panel->frame.value, panel->wheel, panel->v.current), std::tuple(2, -10, 1));

  for (int on : {1, 0}) {
    Click(panel->switches[2]);
    EXPECT_EQ(panel->v.switches[2], on);
  }
}

TEST_F(PanelTest, FoldersDropsLimitAndHeaderListing) {
  Write("series/notes.txt", std::vector<uint8_t>(2000, 'x'));
  Start({});
  EXPECT_TRUE(!panel->image && panel->show_header.greyed());
  panel->on_files_dropped({(dir / "series").string()});
  Pump();
  EXPECT_EQ(std::tuple(panel->v.count(), Raw_Import_Count()), std::tuple(4, 0));  // unknown files in a folder are skipped
  ASSERT_TRUE(panel->image && panel->image->exists());
  // Dropped on the image window: the same loader.
  panel->image->on_files_dropped({files[0]});
  Pump();
  EXPECT_EQ(panel->v.count(), 5);

  const size_t lines = panel->list.lines.size();
  Click(panel->show_header);
  EXPECT_GT(panel->list.lines.size(), lines + 10);
  // A line longer than the list is wide reads to its end sideways: Shift +
  // wheel or the arrows over the list, never past the end or the start.
  Text& list = panel->list;
  list.Write_Text("\x02value:\x01 " + std::string(200, 'x') + " END");
  const int most = list.Widest_Line() + 4 - list.Lines_Area().w;
  ASSERT_GT(most, 0);
  const int step = 8 * list.fonts[0].metrics().ave_char_width;
  platform::Set_Keyboard_Modifiers(platform::kModShift);
  panel->on_wheel(-120, At(list));
  platform::Set_Keyboard_Modifiers(0);
  EXPECT_EQ(std::tuple(list.shift, list.first), std::tuple(step, 0));  // not scrolled up or down
  platform::Set_Pointer_Position(panel->client_to_screen(At(list)));
  for (int k = 0; k < 200; ++k) panel->on_key(platform::kKeyRight);
  EXPECT_EQ(list.shift, most);
  panel->on_key(platform::kKeyLeft);
  EXPECT_EQ(list.shift, most - step);
  list.Scroll_Sideways(-100000);
  EXPECT_EQ(list.shift, 0);

  Click(panel->save_bmp);
  EXPECT_TRUE(Listed("\x02Writing file: \x01"));
  EXPECT_EQ(fs::file_size(Image_Export_Path(*panel->v.entry(panel->v.current))), 32 * 32 + 1064 + 14u);

  // 1998 entries: one more fits, the next file hits the limit.
  for (int k = panel->v.last + 1; k < 1998; ++k) {
    panel->v.Image_List[k] = std::make_unique<ImageHeader>();
    Image_Init_Header(*panel->v.Image_List[k]);
  }
  panel->v.last = 1997;
  EXPECT_EQ(panel->Image_Read_Names({files[0], files[1], files[2]}, Panel::Source::Drop), 1999);
  EXPECT_TRUE(Listed("\xf1\x05WARNING:\x01 Maximum of 2000 images at a time!"));
  panel->v.last = 1998;
  EXPECT_EQ(panel->Image_Read_Names({files[3], files[0]}, Panel::Source::CommandLine), 1999);
  EXPECT_EQ(panel->list.lines.front(), "Maximum of 2000 images at a time!");
}

TEST_F(PanelTest, EscapeInEitherWindowEndsTheProgram) {
  for (bool in_image : {false, true}) {
    SCOPED_TRACE(in_image ? "image window" : "panel");
    quit_code = -1;
    Start(files);
    ASSERT_TRUE(panel->v.cache[0].header);
    if (in_image) panel->image->on_key(platform::kKeyEscape);
    else panel->on_char(platform::kKeyEscape);
    Pump();
    EXPECT_EQ(quit_code, 0);
    EXPECT_FALSE(panel->exists());
    EXPECT_FALSE(panel->image->exists());
    EXPECT_FALSE(panel->v.cache[0].header);
  }
}

TEST_F(PanelTest, OpensOnTheFirstImageOfWhatWasJustLoaded) {
  Start({files[0], files[1]});
  EXPECT_EQ(panel->v.current, 0);
  panel->Files_Dropped({files[3], files[2]});  // the first of them as sorted
  Pump();
  EXPECT_EQ(std::tuple(panel->v.entry(panel->v.current)->input, panel->frame.value), std::tuple(files[2], 3));
}

// The first file shows at once; the rest arrives a batch per turn of the
// event loop; a user who stepped meanwhile stays on the image chosen.
TEST_F(PanelTest, AFolderLoadsInTheBackgroundAndShowsItsFirstImageAtOnce) {
  fs::create_directories(dir / "big");
  for (int k = 0; k < 40; ++k) Write("big/ct" + std::to_string(100 + k) + ".dcm", fixtures::Dicom_CT_Slice(32, 32, k));
  panel = std::make_unique<Panel>(std::vector<std::string>{(dir / "big").string()});
  Log_Set_Sink(Log_Viewer_Sink);
  ASSERT_TRUE(panel->Open(false));
  EXPECT_EQ((std::tuple{panel->v.count(), panel->v.current, panel->read_out.name}), (std::tuple{1, 0, "loading 1 / 40"}));
  panel->on_message(Panel::kMsgLoadMore);
  EXPECT_EQ((std::tuple{panel->v.count(), panel->frame.upper, panel->read_out.name}), (std::tuple{17, 17.0f, "loading 17 / 40"}));
  panel->on_key(platform::kKeyEnd);  // steps within what has arrived
  const ImageHeader* chosen = panel->v.entry(16);
  panel->on_message(Panel::kMsgLoadMore);
  panel->on_message(Panel::kMsgLoadMore);
  EXPECT_FALSE(panel->loading());
  Pump();
  EXPECT_EQ(std::count(panel->list.lines.begin(), panel->list.lines.end(), "\x02total:\x01 40 images in memory"), 1);
  EXPECT_EQ(panel->v.entry(panel->v.current), chosen);  // sorted, still the image chosen
  EXPECT_EQ(panel->read_out.name, "");
}

TEST_F(PanelTest, WheelPageKeysHomeAndEndStepThroughTheSeries) {
  Start(files);
  ImageWindow& w = *panel->image;
  const struct {
    int wheel, key, current;
  } steps[] = {{-120, 0, 1}, {-60, 0, 1}, {-60, 0, 2},  // toward the user: next; 60 + 60 is a notch
               {360, 0, 0},  // the ends stop the wheel
               {0, platform::kKeyEnd, 3}, {0, platform::kKeyPageUp, 2}, {0, platform::kKeyPageDown, 3},
               {0, platform::kKeyPageDown, 3}, {0, platform::kKeyHome, 0}, {0, platform::kKeyRight, 0}};
  for (const auto& s : steps) {
    if (s.wheel) w.on_wheel(s.wheel, {100, 100});
    else w.on_key(s.key);
    EXPECT_EQ(panel->v.current, s.current) << s.wheel << " " << s.key;
    EXPECT_EQ(panel->frame.value, s.current + 1);
  }
  panel->on_key(platform::kKeyEnd);  // the panel takes the same keys
  EXPECT_EQ(panel->v.current, 3);
}

TEST_F(PanelTest, DragsAndPresetsSetTheWindowInRealValues) {
  Start(files);
  ImageWindow& w = *panel->image;
  const ImageHeader& ima = *panel->v.entry(0);
  ASSERT_EQ(ima.g2.rescale_intercept, -1024);  // CT: stored + intercept is HU
  const RealWindow full = Image_Window_Real(panel->v, ima);
  const double step = Image_Window_Step(ima);
  // Middle drag: right 50 pixels widens, up 20 lowers the centre; the
  // valuators follow.
  w.on_mouse_down(platform::kMiddleButton, {100, 100});
  w.on_mouse_move({150, 80});
  w.on_mouse_up(platform::kMiddleButton, {150, 80});
  RealWindow now = Image_Window_Real(panel->v, ima);
  EXPECT_NEAR(now.width, full.width + 50 * step, 0.01);
  EXPECT_NEAR(now.centre, full.centre - 20 * step, 0.01);
  EXPECT_FLOAT_EQ(panel->vmax.value, std::clamp(panel->v.fmax, 0.0f, 1.0f));
  w.on_mouse_move({10, 10});  // no longer windowing
  EXPECT_NEAR(Image_Window_Real(panel->v, ima).width, now.width, 1e-6);
  // Ctrl + left drag does the same, down to the narrowest window.
  platform::Set_Keyboard_Modifiers(platform::kModControl);
  w.on_mouse_down(platform::kLeftButton, {200, 100});
  platform::Set_Keyboard_Modifiers(0);
  EXPECT_TRUE(w.windowing() && !w.dragging());
  w.on_mouse_move({-5000, 110});
  w.on_mouse_up(platform::kLeftButton, {-5000, 110});
  EXPECT_NEAR(Image_Window_Real(panel->v, ima).width, Image_Window_Min_Width(ima), 0.01);
  // Presets in HU from either window; R and 5 give the full range back.
  for (const WindowPreset& p : kWindowPresets) {
    w.on_char('1' + static_cast<int>(&p - kWindowPresets));
    now = Image_Window_Real(panel->v, ima);
    EXPECT_NEAR(now.centre, p.centre, 0.01) << p.name;
    EXPECT_NEAR(now.width, p.width, 0.01) << p.name;
  }
  EXPECT_EQ(Image_Window_Text(now), "W 1800 L 400");
  for (int ch : {'R', '5'}) {
    panel->on_char('2');
    panel->on_char(ch);
    EXPECT_EQ((std::pair{panel->v.fmin, panel->v.fmax}), (std::pair{0.0f, 1.0f}));
  }
  // ? and F1 list the keys in the message list.
  const size_t lines = panel->list.lines.size();
  w.on_char('?');
  panel->on_key(platform::kKeyF1);
  EXPECT_EQ(panel->list.lines.size(), lines + 2 * Viewer_Help_Lines().size());
}

// A radiograph stored MONOCHROME1 (lowest value white), written by dcmtk,
// with its own window: inverted on the screen, in the colour bar and in the
// exported bitmap; the read-out keeps the stored values.
TEST_F(PanelTest, Monochrome1IsShownInvertedInTheFilesOwnWindow) {
  if (!fixtures::Have("dump2dcm")) GTEST_SKIP() << "dump2dcm (dcmtk) is not installed";
  const std::string dump = (dir / "m1.dump").string(), dcm = (dir / "m1.dcm").string();
  std::ofstream(dump) << "(0008,0016) UI =ComputedRadiographyImageStorage\n(0008,0018) UI [1.2.826.0.1.3680043.2.1143.1]\n"
                         "(0008,0060) CS [CR]\n(0010,0010) PN [RADIOGRAPH^TEST]\n"
                         // Files under 1 KiB are not taken for images: a long comment.
                         "(0020,4000) LT [" + std::string(1100, 'x') + "]\n"
                         "(0028,0002) US 1\n(0028,0004) CS [MONOCHROME1]\n(0028,0010) US 2\n(0028,0011) US 4\n"
                         "(0028,0100) US 16\n(0028,0101) US 12\n(0028,0102) US 11\n(0028,0103) US 0\n"
                         "(0028,1050) DS [500]\n(0028,1051) DS [1000]\n"
                         "(7fe0,0010) OW 0000\\0064\\00d2\\012c\\019a\\01f4\\0262\\02bc\n";  // 0 100 210 300 410 500 610 700
  ASSERT_TRUE(fixtures::Shell("dump2dcm +te " + dump + " " + dcm));
  Start({dcm});
  ASSERT_EQ(panel->v.count(), 1);
  const ImageHeader& ima = *panel->v.entry(0);
  EXPECT_EQ(Image_Window_Text(Image_Window_Real(panel->v, ima)), "W 1000 L 500");  // on a stored range 0..700
  // 0 is white (245) and each 100 is 23.5 ramp steps darker.
  const std::vector<uint8_t> rows{245, 222, 196, 175, 149, 128, 102, 81};
  const std::vector<uint8_t>& bits = panel->v.cache[0].bits;
  EXPECT_EQ(std::vector<uint8_t>(bits.begin(), bits.begin() + 8), rows);
  Click(panel->save_bmp);
  const std::string bmp = Slurp(Image_Export_Path(ima));
  EXPECT_EQ(std::vector<uint8_t>(bmp.begin() + 1078, bmp.end()), rows);
  ImageWindow& w = *panel->image;
  const ViewLayout l = Image_Layout(panel->v, ima, w.client_width(), w.client_height());
  const int px = l.x0 + static_cast<int>(3.5f * panel->v.zoom), py = l.y0 + static_cast<int>(1.5f * panel->v.zoom);
  EXPECT_EQ(Overlay_Read_Out(panel->v, ima, w.client_width(), w.client_height(), px, py), "pix:3x1  value:700");
  // The colour bar runs from white at the low end.
  panel->invalidate(false);
  panel->update_now();
  const Widget& bar = panel->color_bar;
  const int y = panel->client_height() - 1 - (bar.y + bar.height / 2);
  EXPECT_EQ(panel->surface().pixel(bar.x + 4, y), (platform::Color{255, 255, 255}));
  EXPECT_LT(panel->surface().pixel(bar.x + bar.width - 4, y).r, 100);
}

TEST(WindowPlace, BesideThePanelAtOneToOneUpTo80PercentOfTheScreen) {
  const platform::Rect wide{0, 0, 1280, 1024}, panel{10, 20, 400, 546};
  const auto ct = Grey(512, 512), big = Grey(1024, 1024), small = Grey(32, 32);
  EXPECT_EQ((std::array{Image_Window_Place(panel, wide, ct.get()), Image_Window_Place(panel, wide, big.get()),
                         Image_Window_Place(panel, wide, small.get())}),
            (std::array<platform::Rect, 3>{{{418, 20, 512, 512}, {418, 20, 819, 819}, {418, 20, 384, 384}}}));
  EXPECT_EQ(Image_Window_Place({0, 0, 400, 546}, {0, 0, 800, 600}, ct.get()), (platform::Rect{408, 0, 392, 392}));
  // A place remembered on a larger screen comes back onto this one.
  EXPECT_EQ(Keep_On_Screen({2000, -50, 500, 400}, wide), (platform::Rect{780, 0, 500, 400}));
}

TEST_F(PanelTest, WindowsComeBackWhereTheyWereLeftAndScaleKeepsTheCentre) {
  const std::string config = (dir / "config").string();
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  Start(files);
  ImageWindow& w = *panel->image;
  EXPECT_GE(w.place().x, panel->frame_rect().x + panel->frame_rect().w);  // beside the panel
  // Scale keeps the image point at the window's centre (row 16 at y 111).
  w.set_place({400, 60, 333, 222});
  panel->on_wheel(120, At(panel->scale));
  ASSERT_GT(panel->v.zoom, 222.0f / 32);
  EXPECT_NEAR(panel->v.pan_v.value, 16 - 111 / panel->v.zoom, 1e-3);

  panel->set_place({30, 40, 360, 500});
  panel->on_char(platform::kKeyEscape);
  Pump();
  const std::string file = config + "/kemascopia/kemascopia.conf";
  EXPECT_EQ(Slurp(file), "panel 30 40 360 500\nimage 400 60 333 222\n");
  EXPECT_EQ(std::tuple(fs::status(file).permissions(), fs::status(config + "/kemascopia").permissions()),
            std::tuple(fs::perms::owner_read | fs::perms::owner_write, fs::perms::owner_all));
  Start(files);
  EXPECT_EQ(std::tuple(panel->place(), panel->image->place()),
            std::tuple(platform::Rect{30, 40, 360, 500}, platform::Rect{400, 60, 333, 222}));
  // Closed from the image window, its place is kept too.
  panel->image->set_place({410, 70, 300, 200});
  panel->image->on_key(platform::kKeyEscape);
  Pump();
  EXPECT_EQ(Slurp(file), "panel 30 40 360 500\nimage 410 70 300 200\n");
}

TEST(BitmapExport, LayoutNamesAndOverwrite) {
  const std::string dir = testing::TempDir() + "bmp_export/";
  setenv("KEMASCOPIA_EXPORT_DIR", dir.c_str(), 1);
  Viewer v;
  for (bool color : {false, true}) {
    SCOPED_TRACE(color ? "colour" : "grey");
    std::vector<uint8_t> samples(color ? 18 : 6);
    for (size_t k = 0; k < samples.size(); ++k) samples[k] = static_cast<uint8_t>(40 * k);
    v.Image_List[0] = Image<uint8_t>(color ? kPixRGB8 : kPixU8, 3, 2, samples, 0, 255);
    v.Image_List[0]->name = "scan01";
    v.last = 0;
    const std::string path = dir + "scan01.bmp";
    EXPECT_EQ(Image_Export_Path(*v.Image_List[0]), path);
    ASSERT_EQ(Image_Write(v, 0), 1);
    ASSERT_EQ(Image_Write(v, 0), 1);  // overwrites
    const std::string f = Slurp(path);
    const uint32_t size = color ? 24 + 40 + 14 : 8 + 1064 + 14;
    ASSERT_EQ(f.size(), size);
    auto u32 = [&f](size_t at) { return uint32_t(uint8_t(f[at])) | uint32_t(uint8_t(f[at + 1])) << 8 |
                                        uint32_t(uint8_t(f[at + 2])) << 16 | uint32_t(uint8_t(f[at + 3])) << 24; };
    EXPECT_EQ(f.substr(0, 2), "BM");
    // File size, reserved, pixel offset, info size, width, height (top-down), planes and bits.
    EXPECT_EQ((std::vector<uint32_t>{u32(2), u32(6), u32(10), u32(14), u32(18), u32(22), u32(26)}),
              (std::vector<uint32_t>{size, 0, color ? 54u : 1078u, 40, 3, uint32_t(-2), color ? 0x00180001u : 0x00080001u}));
    if (color) {
      EXPECT_EQ(f.substr(54, 3), std::string("\x50\x28\x00", 3));  // blue, green, red of pixel 0
    }
  }
  v.Image_List[0]->g1.image_idx = 5;
  EXPECT_EQ(Image_Export_Path(*v.Image_List[0]), dir + "scan01_005.bmp");
  unsetenv("KEMASCOPIA_EXPORT_DIR");
  setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(Image_Export_Dir(), "/home/someone/Pictures/Kemascopia/");
}

// An exported image shows a patient: 0600 in folders of the user's own,
// whatever the umask, and never written through a planted link.
TEST(BitmapExport, FilesAndFoldersArePrivateAndALinkIsRefused) {
  const std::string base = testing::TempDir() + "bmp_private_" + std::to_string(::getpid());
  fs::remove_all(base);
  setenv("KEMASCOPIA_EXPORT_DIR", (base + "/a/b").c_str(), 1);
  Viewer v;
  v.Image_List[0] = Grey(3, 2);
  v.Image_List[0]->name = "scan01";
  v.last = 0;
  const mode_t mask = umask(0);
  ASSERT_EQ(Image_Write(v, 0), 1);
  umask(mask);
  const std::string path = base + "/a/b/scan01.bmp";
  EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(base + "/a").permissions(), fs::perms::owner_all);
  fs::remove(path);
  std::ofstream(base + "/victim") << "kept";
  fs::create_symlink(base + "/victim", path);
  EXPECT_EQ(Image_Write(v, 0), 0);  // "Unable to open file" with the link's error
  EXPECT_EQ(Slurp(base + "/victim"), "kept");
  unsetenv("KEMASCOPIA_EXPORT_DIR");
  fs::remove_all(base);
}

TEST(RawSuggest, SuggestionsForA524288ByteFile) {
  std::array<RawValues, 5> s{};
  Raw_Suggest({}, s, 524288, 1);
  EXPECT_EQ(s, (std::array<RawValues, 5>{{{}, {0, 1, 0, 512, 512}, {0, 4, 0, 256, 256}, {0, 16, 0, 128, 128}, {0, 64, 0, 64, 64}}}));
  Raw_Suggest({0, 0, 0, 0, 512}, s, 524288, 1);
  EXPECT_EQ(s[0], (RawValues{0, 1, 0, 512, 512}));
  Raw_Suggest({1024, 0, 0, 256, 0}, s, 524288, 1);
  EXPECT_EQ(s[0].h, 1022);
  Raw_Suggest({-5, 0, 0, 0, -1}, s, 524288, 1);  // negative entries are not given
  EXPECT_EQ(s[0], (RawValues{}));
  // Huge entries neither overflow nor hang: they are halved down to the file.
  Raw_Suggest({0, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX}, s, 524288, 3);
  EXPECT_LE(Raw_Computed_Size({0, 1, 0, s[0].w, s[0].h}, 3), 524288);
  EXPECT_EQ(Raw_Computed_Size({INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX}, 3), INT64_MAX);
}

TEST_F(PanelTest, RawImportSuggestsColoursPreviewsAndAddsImages) {
  std::vector<uint8_t> raw(524288);
  for (size_t k = 0; k < raw.size(); k += 2) raw[k] = static_cast<uint8_t>(k / 2 % 256), raw[k + 1] = 0;
  const std::string name = Write("scan.raw", raw);
  Start(files);
  panel->Files_Dropped({name});
  Pump();
  ASSERT_EQ(Raw_Import_Count(), 1);
  RawWindow* w = Raw_Import_Window(0);
  ASSERT_TRUE(w);
  EXPECT_EQ(w->title(), "Raw Image Info " + name);
  w->Set_Value(4, "512");
  w->Set_Value(3, "512");
  w->Set_Value(1, "2");
  EXPECT_EQ(w->Size_Color(), (platform::Color{255, 0, 0}));  // 1 MiB > the file
  w->Choose_Suggestion(2);
  EXPECT_EQ(w->values(), (RawValues{0, 4, 0, 256, 256}));
  // Fixed pitch, each number ending under its heading: a width is never read as a height.
  const CheckList& list = w->suggestions();
  EXPECT_EQ(list.font.width("iiii"), list.font.width("0000"));
  EXPECT_EQ(list.name, "File_Head Images Image_Head  Width Height");
  EXPECT_EQ(list.choices[2], "        0      4          0    256    256");
  // 100 samples 2.56 apart.
  EXPECT_EQ(std::tuple(w->Size_Color(), w->min_max_text()), std::tuple(platform::kButtonText, std::string(" min: 0   max: 253")));
  EXPECT_EQ(w->Create_Images(), 4);
  Pump();
  EXPECT_EQ(Raw_Import_Count(), 0);
  ASSERT_EQ(panel->v.count(), 8);
  int raw_entries = 0;
  for (int k = 0; k <= panel->v.last; ++k) {
    const ImageHeader& e = *panel->v.entry(k);
    if (e.g3.patient_name != "raw image") continue;
    ++raw_entries;
    EXPECT_EQ(std::tuple(e.dim_x, e.g2.pix_type, e.g2.serie_max), std::tuple(256, kPixU16, 255));
  }
  EXPECT_EQ(raw_entries, 4);

  // At most 20 windows: the 21st is refused with a message.
  for (int k = 0; k < 21; ++k) EXPECT_TRUE(Raw_Import_Open(*panel, name));
  EXPECT_EQ(Raw_Import_Count(), kMaxRawWindows);
  EXPECT_TRUE(Listed("at most 20 raw image windows at a time"));
}

}  // namespace
