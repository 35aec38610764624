// SPDX-License-Identifier: MIT
#include "background/background_checks.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/main_window.h"
#include "app/names.h"
#include "app/shared_state.h"
#include "support/loopback_server.h"
#include "support/memory_toolkit.h"
#include "web/codepage.h"
#include "web/text.h"

namespace kestrune {
namespace {

using test::LoopbackServer;
using test::MemoryToolkit;
using test::RecordedRequest;
using test::WaitUntil;
using ::testing::IsEmpty;

constexpr const char* kMain = names::kMainWindow;
constexpr const char kListPagePath[] = "/list-169-1-18-21-1-2";

std::string ReadFixture(const std::string& name) {
  std::ifstream in(std::string(KESTRUNE_FIXTURE_DIR) + "/background/" + name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The in-memory toolkit, counting the workers it started and the runs it was
// asked to make on the window thread.
class CountingToolkit : public MemoryToolkit {
 public:
  void StartThread(Routine routine) override {
    ++started;
    MemoryToolkit::StartThread(std::move(routine));
  }
  bool RunOnWindowThread(const Routine& fn) override {
    ++windowRuns;
    return MemoryToolkit::RunOnWindowThread(fn);
  }
  std::atomic<int> started{0};
  std::atomic<int> windowRuns{0};
};

// A loopback fake of the net-disk service: the author's configuration page,
// the folder listing (GET) and the file list (POST) on the same address, the
// promotional page, and the ROM list page of 按钮1 on the catalogue address.
class NetDiskFake {
 public:
  NetDiskFake() {
    httplib::Server& s = server_.server();
    s.Get("/config", [this](const httplib::Request& req, httplib::Response& res) { Serve(req, config_, res); });
    s.Get("/listing", [this](const httplib::Request& req, httplib::Response& res) { Serve(req, folders_, res); });
    s.Post("/listing", [this](const httplib::Request& req, httplib::Response& res) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        fileListAsked_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !holdFileList_; });
      }
      Serve(req, files_, res);
    });
    s.Get(kListPagePath, [this](const httplib::Request& req, httplib::Response& res) {
      Text page = ReadFixture("list_page.html");
      Serve(req, page, res);
    });
    server_.Start();
  }
  ~NetDiskFake() {
    ReleaseFileList();
    server_.Stop();
  }

  std::string Url(const std::string& path = "") const { return server_.Url(path); }
  Text LinkPrefix() const { return Url("/d"); }

  void SetConfig(Text page) { Set(config_, std::move(page)); }
  void SetFolders(Text page) { Set(folders_, std::move(page)); }
  void SetFiles(Text page) { Set(files_, std::move(page)); }

  // A page of the author's with the given text and the hidden frame that
  // names the listing address.
  Text ConfigPage(const Text& body) const {
    return Ansi("<html><head><title>网盘分享</title></head><body><div class=\"share\">") + body +
           "</div>\r\n<iframe src=\"" + Url("/listing") + "\" style=\"display:none;\"></iframe></body></html>";
  }
  static Text Entry(std::string_view utf8Fields) { return Ansi("配5【") + Ansi(utf8Fields) + Ansi("】"); }

  // Folder titles (UTF-8) and ids, in listing order.
  static Text FolderListing(const std::vector<std::pair<std::string, std::string>>& folders) {
    Text html = "<ul class='tree'>";
    for (const auto& [title, id] : folders)
      html += "<li><a href='javascript:;' class='dir'>" + Ansi(title) +
              "</a><label>(3)</label><ul style='display:none;' id='ZMm_" + id + "' ></ul></li>\r\n";
    return html + "</ul>";
  }
  // Links: the rest of each file link after the prefix.
  Text FileList(const std::vector<std::string>& rests) const {
    Text html = "<ul class='files'>";
    for (const auto& rest : rests)
      html += "<li><a href='" + LinkPrefix() + rest + "' title='" + rest + "' target='_blank'>file</a></li>\r\n";
    return html + "</ul>";
  }

  std::vector<RecordedRequest> Requests(const std::string& method, const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<RecordedRequest> found;
    for (const auto& r : requests_)
      if (r.method == method && r.path == path) found.push_back(r);
    return found;
  }
  std::size_t Count(const std::string& method, const std::string& path) const {
    return Requests(method, path).size();
  }

  // Makes the file-list request wait until ReleaseFileList.
  void HoldFileList() {
    std::lock_guard<std::mutex> lock(mutex_);
    holdFileList_ = true;
  }
  void ReleaseFileList() {
    std::lock_guard<std::mutex> lock(mutex_);
    holdFileList_ = false;
    changed_.notify_all();
  }
  bool WaitForFileListRequest() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [this] { return fileListAsked_; });
  }

 private:
  void Set(Text& page, Text value) {
    std::lock_guard<std::mutex> lock(mutex_);
    page = std::move(value);
  }
  // Records the request before answering it: the server's own log is written
  // only after the client has its answer.
  void Serve(const httplib::Request& req, const Text& page, httplib::Response& res) {
    RecordedRequest r;
    r.method = req.method;
    r.path = req.path;
    for (const auto& [k, v] : req.headers) r.headers.emplace_back(k, v);
    r.body = req.body;
    Text body;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(std::move(r));
      body = page;
    }
    res.set_content(body, "text/html");
  }

  LoopbackServer server_;
  mutable std::mutex mutex_;
  std::vector<RecordedRequest> requests_;
  std::condition_variable changed_;
  Text config_, folders_, files_;
  bool holdFileList_ = false;
  bool fileListAsked_ = false;
};

class BackgroundChecksTest : public ::testing::Test {
 protected:
  BackgroundChecksTest() {
    disk.SetConfig(disk.ConfigPage(NetDiskFake::Entry("2.0|Folder|kestrune|Notes: 1. 2. 3.|否")));
    disk.SetFolders(NetDiskFake::FolderListing({{"Tools", "111"}, {"Folder", "222"}, {"Other", "333"}}));
    disk.SetFiles(disk.FileList({"l/readme.txt", "l/kestrune-2.0.zip", "l/kestrune-1.9.zip"}));
    options.firstRetryPause = std::chrono::milliseconds(20);
    options.maxRetryPause = std::chrono::milliseconds(160);
    options.readerTimeoutMs = 5000;
  }

  void TearDown() override {
    // No worker may outlive the test: the clean-up ends every task.
    disk.ReleaseFileList();
    toolkit->ExitProgram(0);
    EXPECT_TRUE(toolkit->WaitForThreads(10000));
  }

  AppContext Context() {
    AppContext ctx{toolkit, state, Endpoints{}};
    ctx.endpoints.configPageUrl = configPageUrl ? *configPageUrl : disk.Url("/config");
    ctx.endpoints.netDiskLinkPrefix = linkPrefix ? *linkPrefix : disk.LinkPrefix();
    ctx.endpoints.promoPageUrl = disk.Url("/promo");
    ctx.endpoints.catalogueBaseUrl = disk.Url();
    ctx.endpoints.startDownloadManager = false;
    return ctx;
  }

  // What start-up and MainWindow's created handler do, then the tick of 时钟1.
  void Start(const Text& localVersion = "2.0") {
    toolkit->DefineWindow(MainWindowDefinition());
    toolkit->SetCleanup([s = state] { ReleaseSharedState(*s); });
    InstallBackgroundChecks(Context(), options);
    toolkit->LoadWindow(kMain, false);
    state->LocalVersion = localVersion;
    toolkit->SetProperty(kMain, "时钟1", Property::TimerPeriod, 3000);
    toolkit->AdvanceTime(3000);
  }
  void RunChain(const Text& localVersion = "2.0") {
    Start(localVersion);
    ASSERT_TRUE(toolkit->WaitForThreads(20000));
  }

  Text Panel1() const { return toolkit->StatusText(kMain, "状态条1", 1); }
  int Int(const char* control, Property p) const { return toolkit->GetInt(kMain, control, p); }
  Text Address(const char* control) const { return toolkit->GetText(kMain, control, Property::Address); }

  NetDiskFake disk;
  std::shared_ptr<CountingToolkit> toolkit = std::make_shared<CountingToolkit>();
  std::shared_ptr<SharedState> state = CreateSharedState();
  BackgroundOptions options;
  std::optional<Text> configPageUrl;
  std::optional<Text> linkPrefix;
};

// --- the configuration entry ---

struct EntryCase {
  const char* name;
  const char* body;  // UTF-8, the text around the hidden frame
  const char* latest;
  const char* folder;
  const char* key;
  const char* notes;
  const char* promo;
  std::size_t fieldCount;
  std::vector<std::string> noteLines;  // UTF-8
};
void PrintTo(const EntryCase& c, std::ostream* os) { *os << c.name; }


class ConfigurationEntryTest : public BackgroundChecksTest, public ::testing::WithParamInterface<EntryCase> {};

TEST_P(ConfigurationEntryTest, FillsTheSettingsAndGoesOn) {
  const EntryCase& c = GetParam();
  disk.SetConfig(disk.ConfigPage(Ansi(c.body)));
  RunChain();

  std::lock_guard<std::mutex> lock(state->backgroundLock);
  EXPECT_EQ(state->ConfigFields.size(), c.fieldCount);
  EXPECT_EQ(state->LatestVersion, Ansi(c.latest));
  EXPECT_EQ(state->UpdateFolder, Ansi(c.folder));
  EXPECT_EQ(state->UpdateFileKey, Ansi(c.key));
  EXPECT_EQ(state->UpdateNotes, Ansi(c.notes));
  EXPECT_EQ(state->PromoSwitch, Ansi(c.promo));
  TextArray lines;
  for (const auto& l : c.noteLines) lines.push_back(Ansi(l));
  EXPECT_EQ(state->UpdateNoteLines, lines);
  EXPECT_EQ(state->ListingUrl, disk.Url("/listing"));
  EXPECT_EQ(disk.Count("GET", "/listing"), 1u);
  EXPECT_EQ(disk.Count("POST", "/listing"), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, ConfigurationEntryTest,
    ::testing::Values(
        EntryCase{"Example", "配5【2.0|Folder|key|a b c d|真】", "2.0", "Folder", "key", "a b c d", "真", 5,
                  {"a", "b", "c", "d"}},
        EntryCase{"SixFieldsUseTheFirstFive", "配5【2.0|Folder|key|a b c d|真|extra】", "2.0", "Folder", "key",
                  "a b c d", "真", 6, {"a", "b", "c", "d"}},
        EntryCase{"EmptySecondField", "配5【2.0||key|x y|假】", "2.0", "", "key", "x y", "假", 5, {"x", "y"}},
        EntryCase{"TwoEntriesFirstCounts", "配5【1.1|First|k1|n1 n2|真】<br>配5【9.9|Second|k2|m1 m2|假】", "1.1",
                  "First", "k1", "n1 n2", "真", 5, {"n1", "n2"}},
        EntryCase{"ChineseFields", "<p>配5【V16.1.2|更新文件夹|kestrune|说明： 修正 新增 改进|否】</p>",
                  "V16.1.2", "更新文件夹", "kestrune", "说明： 修正 新增 改进", "否", 5,
                  {"说明：", "修正", "新增", "改进"}}),
    [](const ::testing::TestParamInfo<EntryCase>& info) { return std::string(info.param.name); });

struct IncompleteCase {
  const char* name;
  const char* body;
};
void PrintTo(const IncompleteCase& c, std::ostream* os) { *os << c.name; }


class IncompleteConfigurationTest : public BackgroundChecksTest,
                                    public ::testing::WithParamInterface<IncompleteCase> {};

TEST_P(IncompleteConfigurationTest, EndsTheChainSilently) {
  disk.SetConfig(disk.ConfigPage(Ansi(GetParam().body)));
  RunChain("1.0");

  EXPECT_EQ(disk.Count("GET", "/config"), 1u) << "a page that arrived is not asked for again";
  EXPECT_EQ(disk.Count("GET", "/listing"), 0u);
  EXPECT_EQ(disk.Count("POST", "/listing"), 0u);
  EXPECT_THAT(toolkit->Messages(), IsEmpty());
  EXPECT_EQ(Panel1(), Ansi("正在检测软件版本...."));
  EXPECT_EQ(Int("时钟3", Property::TimerPeriod), 0);
  EXPECT_EQ(Address("超文本浏览框2"), "");
  std::lock_guard<std::mutex> lock(state->backgroundLock);
  EXPECT_EQ(state->ListingUrl, "");
}

INSTANTIATE_TEST_SUITE_P(Pages, IncompleteConfigurationTest,
                         ::testing::Values(IncompleteCase{"NoEntry", "nothing configured here"},
                                           IncompleteCase{"FourFields", "配5【2.0|Folder|key|a b c d】"},
                                           IncompleteCase{"EmptyEntry", "配5【】"},
                                           IncompleteCase{"EntryWithoutClosingMark", "配5【2.0|F|k|a b c d|真"}),
                         [](const ::testing::TestParamInfo<IncompleteCase>& info) {
                           return std::string(info.param.name);
                         });

// --- the whole chain ---

TEST_F(BackgroundChecksTest, EqualVersionsSayUpToDateAndArmTheStatusTimer) {
  RunChain("2.0");

  EXPECT_EQ(Int("时钟1", Property::TimerPeriod), 0) << "时钟1 ticks once";
  EXPECT_EQ(toolkit->started.load(), 3) << "one worker per task";
  EXPECT_THAT(toolkit->Messages(), IsEmpty());
  EXPECT_EQ(Panel1(), Ansi("当前是最新版本！"));
  EXPECT_EQ(toolkit->StatusText(kMain, "状态条1", 0), Ansi("服务器状态"));
  EXPECT_EQ(Int("时钟3", Property::TimerPeriod), 1500);
  EXPECT_EQ(Int("标签2", Property::Width), 152);
  EXPECT_EQ(Address("超文本浏览框1"), "");
  EXPECT_EQ(Address("超文本浏览框2"), "") << "the promotional switch is off";
  EXPECT_EQ(disk.Count("GET", kListPagePath), 0u);
  EXPECT_GT(toolkit->ProcessEventsCalls(), 0) << "the reader dispatches the worker's events";

  auto posts = disk.Requests("POST", "/listing");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].body, "Yz0=dq&Yz1=222&Yz2=&Yz3=&Yz4=");
  EXPECT_EQ(posts[0].Header("Content-Type"), "application/x-www-form-urlencoded");

  std::lock_guard<std::mutex> lock(state->backgroundLock);
  EXPECT_EQ(state->FolderId, "222");
  EXPECT_EQ(state->UpdateLink, disk.LinkPrefix() + "l/kestrune-2.0.zip");
  EXPECT_EQ(state->RemoteText, disk.FileList({"l/readme.txt", "l/kestrune-2.0.zip", "l/kestrune-1.9.zip"}));
}

TEST_F(BackgroundChecksTest, NewVersionTakenShowsItAndReadsTheTestButtonsPage) {
  disk.SetConfig(disk.ConfigPage(NetDiskFake::Entry("2.0|Folder|kestrune|Notes: 1. 2. 3.|否")));
  toolkit->QueueAnswer(MessageAnswer::Yes);
  RunChain("1.0");

  auto messages = toolkit->Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, Ansi("1.\r\n2.\r\n3.\r\n\r\n当前版本：1.0\r\n\r\n网络版本：2.0"));
  EXPECT_EQ(messages[0].title, Ansi("发现新版本"));
  EXPECT_EQ(messages[0].style, MessageStyle::QuestionYesNo);

  EXPECT_EQ(Int("标签2", Property::Visible), 1);
  EXPECT_EQ(Int("标签2", Property::Width), 450);
  EXPECT_EQ(Int("标签2", Property::Height), 168);
  EXPECT_EQ(Panel1(), Ansi("发现软件有新版本！！"));
  EXPECT_EQ(Address("超文本浏览框1"), disk.LinkPrefix() + "l/kestrune-2.0.zip");
  EXPECT_EQ(Address("超文本浏览框2"), "");
  EXPECT_EQ(Int("时钟3", Property::TimerPeriod), 1500);

  // 按钮1's handler read its fixed page, on the window thread.
  EXPECT_GE(toolkit->windowRuns.load(), 1);
  EXPECT_EQ(disk.Count("GET", kListPagePath), 1u);
  EXPECT_EQ(toolkit->GetText(kMain, "标签1", Property::Caption), Ansi("小米Note双网通开发版6.1.7"));
  EXPECT_EQ(state->ListPageUrl, disk.Url(kListPagePath));
  EXPECT_EQ(state->PackageLink(2), "http://127.0.0.1/rom/fastboot-6.1.7.tgz");
}

TEST_F(BackgroundChecksTest, NewVersionDeclinedEndsTheProgramAtOnce) {
  toolkit->QueueAnswer(MessageAnswer::No);
  RunChain("1.0");

  EXPECT_EQ(toolkit->Messages().size(), 1u);
  EXPECT_EQ(toolkit->CleanupRuns(), 1);
  EXPECT_EQ(toolkit->ExitCode(), 0);
  EXPECT_TRUE(state->released.load());
  EXPECT_EQ(disk.Count("GET", kListPagePath), 0u) << "nothing runs after the exit";
  EXPECT_EQ(toolkit->windowRuns.load(), 0);
}

TEST_F(BackgroundChecksTest, VersionsDifferingOnlyInCaseCountAsNew) {
  disk.SetConfig(disk.ConfigPage(NetDiskFake::Entry("V15.10.26|Folder|kestrune|Notes: a b c|否")));
  RunChain("v15.10.26");

  auto messages = toolkit->Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, Ansi("a\r\nb\r\nc\r\n\r\n当前版本：v15.10.26\r\n\r\n网络版本：V15.10.26"));
  EXPECT_EQ(Panel1(), Ansi("发现软件有新版本！！"));
}

struct NotesCase {
  const char* name;
  const char* notes;
  const char* message;
};
void PrintTo(const NotesCase& c, std::ostream* os) { *os << c.name; }


class ShortNotesTest : public BackgroundChecksTest, public ::testing::WithParamInterface<NotesCase> {};

TEST_P(ShortNotesTest, MissingNoteLinesShowAsEmptyLines) {
  disk.SetConfig(disk.ConfigPage(NetDiskFake::Entry(std::string("2.0|Folder|kestrune|") + GetParam().notes + "|否")));
  RunChain("1.0");

  auto messages = toolkit->Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, Ansi(GetParam().message));
  EXPECT_EQ(Panel1(), Ansi("发现软件有新版本！！"));
  EXPECT_EQ(Int("时钟3", Property::TimerPeriod), 1500);
}

INSTANTIATE_TEST_SUITE_P(
    Notes, ShortNotesTest,
    ::testing::Values(NotesCase{"TwoWords", "only two", "two\r\n\r\n\r\n\r\n当前版本：1.0\r\n\r\n网络版本：2.0"},
                      NotesCase{"NoWords", "", "\r\n\r\n\r\n\r\n当前版本：1.0\r\n\r\n网络版本：2.0"},
                      NotesCase{"FiveWordsShowTwoToFour", "a b c d e", "b\r\nc\r\nd\r\n\r\n当前版本：1.0\r\n\r\n网络版本：2.0"}),
    [](const ::testing::TestParamInfo<NotesCase>& info) { return std::string(info.param.name); });

TEST_F(BackgroundChecksTest, WithTheMainWindowTheResultIsFollowedByTheServerTexts) {
  // The program's own start: LocalVersion from 透明标签8, 时钟1 armed by the
  // created handler, the status timers of the window.
  disk.SetConfig(disk.ConfigPage(NetDiskFake::Entry("v15.10.26|Folder|kestrune|Notes: 1. 2. 3.|否")));
  toolkit->DefineWindow(MainWindowDefinition());
  toolkit->SetCleanup([s = state] { ReleaseSharedState(*s); });
  InstallMainWindow(Context());
  InstallBackgroundChecks(Context(), options);
  toolkit->LoadWindow(kMain, false);
  EXPECT_EQ(state->LocalVersion, "v15.10.26");

  toolkit->AdvanceTime(2999);
  EXPECT_EQ(toolkit->started.load(), 0) << "nothing before three seconds";
  toolkit->AdvanceTime(1);
  ASSERT_TRUE(WaitUntil([&] { return Panel1() == Ansi("当前是最新版本！"); }, 20000));
  ASSERT_TRUE(WaitUntil([&] { return Int("时钟3", Property::TimerPeriod) == 1500; }, 20000));
  toolkit->AdvanceTime(1500);
  EXPECT_EQ(Panel1(), Ansi("正在检测服务器状态！"));
  toolkit->AdvanceTime(1500);
  EXPECT_TRUE(WaitUntil([&] { return Panel1() == Ansi("已连接到小米服务器！"); }, 20000));
  EXPECT_THAT(toolkit->Messages(), IsEmpty());
}

TEST_F(BackgroundChecksTest, PageWithoutListingAddressGoesOnToThePromotionalStep) {
  disk.SetConfig(Ansi("<p>配5【2.0|Folder|kestrune|Notes: 1. 2. 3.|真】</p>"));
  RunChain("1.0");

  EXPECT_EQ(disk.Count("GET", "/listing"), 0u);
  EXPECT_EQ(disk.Count("POST", "/listing"), 0u);
  EXPECT_THAT(toolkit->Messages(), IsEmpty());
  EXPECT_EQ(Address("超文本浏览框2"), disk.Url("/promo"));
  std::lock_guard<std::mutex> lock(state->backgroundLock);
  EXPECT_EQ(state->ListingUrl, "");
  EXPECT_EQ(state->FolderId, "");
}

TEST_F(BackgroundChecksTest, MatcherIsSharedWithTheWindowThreadOneSequenceAtATime) {
  // The package buttons use the same Matcher on the window thread while the
  // chain runs; neither may see the other's pattern or matches.
  const Text link = "http://127.0.0.1/rom/miui_6.1.7.tgz";
  Start("2.0");
  int uses = 0, wrong = 0;
  do {
    auto lock = state->LockMatcher();
    state->Matcher->Create("http(.*?)tgz");
    state->Matcher->Search(link);
    if (state->Matcher->GetSubMatchText(1, 1) != "://127.0.0.1/rom/miui_6.1.7.") ++wrong;
    ++uses;
  } while (!toolkit->WaitForThreads(0));

  EXPECT_EQ(wrong, 0) << "of " << uses;
  EXPECT_EQ(Panel1(), Ansi("当前是最新版本！"));
  std::lock_guard<std::mutex> lock(state->backgroundLock);
  EXPECT_EQ(state->FolderId, "222");
  EXPECT_EQ(state->UpdateLink, disk.LinkPrefix() + "l/kestrune-2.0.zip");
}

// --- picking the folder and the file link ---

struct LinkCase {
  const char* name;
  const char* key;
  std::vector<std::string> links;
  const char* expected;  // rest of the chosen link; nullptr: none
};
void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.name; }


class FileLinkTest : public BackgroundChecksTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(FileLinkTest, TakesTheFirstLinkContainingTheKey) {
  const LinkCase& c = GetParam();
  disk.SetConfig(disk.ConfigPage(NetDiskFake::Entry(std::string("2.0|Folder|") + c.key + "|n a b c|否")));
  disk.SetFiles(disk.FileList(c.links));
  RunChain("2.0");

  std::lock_guard<std::mutex> lock(state->backgroundLock);
  if (c.expected) {
    EXPECT_EQ(state->UpdateLink, disk.LinkPrefix() + c.expected);
    EXPECT_EQ(Panel1(), Ansi("当前是最新版本！"));
  } else {
    EXPECT_EQ(state->UpdateLink, "");
    EXPECT_EQ(Panel1(), Ansi("正在检测软件版本...."));
    EXPECT_EQ(Int("时钟3", Property::TimerPeriod), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Links, FileLinkTest,
    ::testing::Values(LinkCase{"SeveralMatchFirstWins", "kestrune", {"l/a.txt", "l/kestrune-2.zip", "l/kestrune-3.zip"},
                               "l/kestrune-2.zip"},
                      LinkCase{"KeyCaseMustMatch", "Kestrune", {"l/kestrune-2.zip", "l/Kestrune-2.zip"},
                               "l/Kestrune-2.zip"},
                      LinkCase{"KeyInOtherCaseOnly", "KESTRUNE", {"l/kestrune-2.zip"}, nullptr},
                      LinkCase{"EmptyKeyTakesTheFirstNonEmptyLink", "", {"", "l/first.zip", "l/second.zip"},
                               "l/first.zip"},
                      LinkCase{"NoLinksAtAll", "kestrune", {}, nullptr}),
    [](const ::testing::TestParamInfo<LinkCase>& info) { return std::string(info.param.name); });

TEST_F(BackgroundChecksTest, LinkPrefixIsRecognisedInAnyCase) {
  Text upper = ToUpper(disk.LinkPrefix());
  disk.SetFiles("<a href='" + upper + "l/kestrune.zip' title='x'>");
  RunChain("2.0");
  std::lock_guard<std::mutex> lock(state->backgroundLock);
  EXPECT_EQ(state->UpdateLink, disk.LinkPrefix() + "l/kestrune.zip") << "the link is rebuilt on our own prefix";
}

TEST_F(BackgroundChecksTest, FolderTitleDifferingInCaseIsFound) {
  disk.SetFolders(NetDiskFake::FolderListing({{"Tools", "111"}, {"FOLDER", "222"}}));
  RunChain();
  auto posts = disk.Requests("POST", "/listing");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].body, "Yz0=dq&Yz1=222&Yz2=&Yz3=&Yz4=");
}

TEST_F(BackgroundChecksTest, NoMatchingLinkWithPromoOnLoadsOnlyThePromotionalPage) {
  disk.SetConfig(disk.ConfigPage(NetDiskFake::Entry("2.0|Folder|nothing-like-it|n a b c|真")));
  RunChain("1.0");

  EXPECT_THAT(toolkit->Messages(), IsEmpty());
  EXPECT_EQ(Panel1(), Ansi("正在检测软件版本...."));
  EXPECT_EQ(Int("时钟3", Property::TimerPeriod), 0);
  EXPECT_EQ(Address("超文本浏览框1"), "");
  EXPECT_EQ(Address("超文本浏览框2"), disk.Url("/promo"));
}

struct HostileFolderCase {
  const char* name;
  const char* title;
  std::string listing;
};
void PrintTo(const HostileFolderCase& c, std::ostream* os) { *os << c.name; }


class HostileFolderTest : public BackgroundChecksTest, public ::testing::WithParamInterface<HostileFolderCase> {};

TEST_P(HostileFolderTest, FindsNoFolderAndGoesOn) {
  const HostileFolderCase& c = GetParam();
  disk.SetConfig(disk.ConfigPage(NetDiskFake::Entry(std::string("2.0|") + c.title + "|kestrune|n a b c|否")));
  disk.SetFolders(c.listing);
  Start();
  // Generous: only a runaway search would take this long.
  ASSERT_TRUE(toolkit->WaitForThreads(60000));

  auto posts = disk.Requests("POST", "/listing");
  ASSERT_EQ(posts.size(), 1u) << "the chain goes on to the file list";
  EXPECT_EQ(posts[0].body, "Yz0=dq&Yz1=&Yz2=&Yz3=&Yz4=");
  EXPECT_EQ(Panel1(), Ansi("当前是最新版本！")) << "the service's answer decides";
}

// Nested repetition over runs of "a" that never end in "c": a naive engine
// spends seconds on each folder link, and there are a thousand of them. (The
// entry's bar separator rules out alternation in a title.)
std::string BombListing() {
  std::string listing;
  for (int i = 0; i < 1000; ++i) listing += "<li><a href='#'>" + std::string(30, 'a') + "</a></li>";
  return listing + NetDiskFake::FolderListing({{"Folder", "222"}});
}

INSTANTIATE_TEST_SUITE_P(Titles, HostileFolderTest,
                         ::testing::Values(HostileFolderCase{"Backtracking", "(a+)+c", BombListing()},
                                           HostileFolderCase{"InvalidPattern", "(",
                                                             NetDiskFake::FolderListing({{"(", "1"}})},
                                           HostileFolderCase{"UnknownTitle", "Elsewhere",
                                                             NetDiskFake::FolderListing({{"Folder", "222"}})}),
                         [](const ::testing::TestParamInfo<HostileFolderCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(BackgroundChecksTest, FolderTitleIsAPattern) {
  // Regular-expression characters in the title keep their meaning.
  disk.SetConfig(disk.ConfigPage(NetDiskFake::Entry("2.0|Fold.r|kestrune|n a b c|否")));
  disk.SetFolders(NetDiskFake::FolderListing({{"Other", "1"}, {"Folder", "222"}}));
  RunChain();
  std::lock_guard<std::mutex> lock(state->backgroundLock);
  EXPECT_EQ(state->FolderId, "222");
}

// --- addresses given to the browser controls ---

struct AddressCase {
  const char* name;
  const char* prefix;
  const char* rest;
};
void PrintTo(const AddressCase& c, std::ostream* os) { *os << c.name; }


class BrowserAddressTest : public BackgroundChecksTest, public ::testing::WithParamInterface<AddressCase> {};

TEST_P(BrowserAddressTest, OnlyWebAddressesReachTheBrowserControl) {
  const AddressCase& c = GetParam();
  linkPrefix = c.prefix;
  disk.SetConfig(disk.ConfigPage(NetDiskFake::Entry("2.0|Folder||n a b c|否")));
  disk.SetFiles(std::string("<a href='") + c.prefix + c.rest + "' title='x'>");
  RunChain("1.0");

  EXPECT_EQ(toolkit->Messages().size(), 1u);
  EXPECT_EQ(Panel1(), Ansi("发现软件有新版本！！"));
  EXPECT_EQ(Address("超文本浏览框1"), "");
  std::lock_guard<std::mutex> lock(state->backgroundLock);
  EXPECT_EQ(state->UpdateLink, std::string(c.prefix) + c.rest);
}

INSTANTIATE_TEST_SUITE_P(Addresses, BrowserAddressTest,
                         ::testing::Values(AddressCase{"NotHttp", "javascript:", "alert(1)//"},
                                           AddressCase{"FileScheme", "file:///", "etc/passwd"},
                                           AddressCase{"ControlCharacter", "http://d", "l/x\ty"}),
                         [](const ::testing::TestParamInfo<AddressCase>& info) {
                           return std::string(info.param.name);
                         });

// --- an unreachable configuration page ---

// A loopback port that nothing listens on: bound once, never listened on, and
// closed again, so a connection is refused at once.
int ClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TEST_F(BackgroundChecksTest, EmptyPageIsAskedForAgainAtAGrowingPace) {
  disk.SetConfig("");
  Start();
  // Measured from the first retry on, past the one-time set-up of the first
  // request.
  ASSERT_TRUE(WaitUntil([&] { return toolkit->started.load() >= 2; }));
  const double cpuBefore = ProcessCpuSeconds();
  const auto wallBefore = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double cpu = ProcessCpuSeconds() - cpuBefore;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();

  // Pauses of 20, 40, 80, 160, 160 ... ms: about fifteen requests in two
  // seconds, where an immediate retry makes thousands.
  const std::size_t asked = disk.Count("GET", "/config");
  RecordProperty("requests", static_cast<int>(asked));
  RecordProperty("cpu_ms", static_cast<int>(cpu * 1000));
  EXPECT_GE(asked, 4u);
  EXPECT_LE(asked, 25u);
  EXPECT_LT(cpu, 0.1 * wall) << "retrying must not spin a core";
  EXPECT_EQ(disk.Count("GET", "/listing"), 0u);

  // Once the page is back, the chain goes on.
  disk.SetConfig(disk.ConfigPage(NetDiskFake::Entry("2.0|Folder|kestrune|Notes: 1. 2. 3.|否")));
  ASSERT_TRUE(WaitUntil([&] { return disk.Count("POST", "/listing") == 1; }, 20000));
  ASSERT_TRUE(toolkit->WaitForThreads(20000));
  EXPECT_EQ(Panel1(), Ansi("当前是最新版本！"));
}

TEST_F(BackgroundChecksTest, UnreachablePageRetriesWithoutSpinning) {
  options.firstRetryPause = std::chrono::milliseconds(50);
  options.maxRetryPause = std::chrono::milliseconds(400);
  configPageUrl = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/config";
  Start();
  ASSERT_TRUE(WaitUntil([&] { return toolkit->started.load() >= 2; }));
  const double cpuBefore = ProcessCpuSeconds();
  const auto wallBefore = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double cpu = ProcessCpuSeconds() - cpuBefore;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();

  RecordProperty("attempts", toolkit->started.load());
  RecordProperty("cpu_ms", static_cast<int>(cpu * 1000));
  // Pauses of 50, 100, 200, 400, 400 ... ms: seven or eight attempts.
  EXPECT_GE(toolkit->started.load(), 3);
  EXPECT_LE(toolkit->started.load(), 12);
  EXPECT_LT(cpu, 0.1 * wall);
}

TEST_F(BackgroundChecksTest, ExitEndsARetryPauseAtOnce) {
  options.firstRetryPause = std::chrono::minutes(1);
  options.maxRetryPause = std::chrono::minutes(5);
  disk.SetConfig("");
  Start();
  ASSERT_TRUE(WaitUntil([&] { return disk.Count("GET", "/config") == 1; }));

  const auto before = std::chrono::steady_clock::now();
  toolkit->ExitProgram(0);
  // Generous bound: the pause itself is a minute.
  ASSERT_TRUE(toolkit->WaitForThreads(10000));
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
  EXPECT_EQ(disk.Count("GET", "/config"), 1u);
}

// --- the program ending while a task is in flight ---

TEST_F(BackgroundChecksTest, ExitWhileTheFileListIsReadTouchesNothingAfterwards) {
  disk.HoldFileList();
  Start("1.0");
  ASSERT_TRUE(disk.WaitForFileListRequest());

  toolkit->ExitProgram(0);  // the clean-up releases the shared state
  disk.ReleaseFileList();
  ASSERT_TRUE(toolkit->WaitForThreads(20000));

  EXPECT_THAT(toolkit->Messages(), IsEmpty());
  EXPECT_EQ(toolkit->CleanupRuns(), 1);
  EXPECT_EQ(disk.Count("GET", kListPagePath), 0u);
  std::lock_guard<std::mutex> lock(state->backgroundLock);
  EXPECT_EQ(state->RemoteText, "") << "released state stays released";
  EXPECT_EQ(state->UpdateLink, "");
}

}  // namespace
}  // namespace kestrune
