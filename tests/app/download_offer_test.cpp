// SPDX-License-Identifier: MIT
#include "app/qt/download_offer.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "web/codepage.h"

namespace kestrune {
namespace {

struct AnswerCase {
  const char* name;
  const char* headers;
  bool download;
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

class IsDownloadAnswerTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(IsDownloadAnswerTest, TellsAFileFromAPage) {
  EXPECT_EQ(IsDownloadAnswer(GetParam().headers), GetParam().download);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, IsDownloadAnswerTest,
    ::testing::Values(
        AnswerCase{"HtmlPage", "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n\r\n", false},
        AnswerCase{"PlainText", "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n", false},
        AnswerCase{"Xhtml", "HTTP/1.1 200 OK\r\nContent-Type: application/xhtml+xml\r\n\r\n", false},
        AnswerCase{"Json", "HTTP/1.1 200 OK\r\ncontent-type: Application/JSON\r\n\r\n", false},
        AnswerCase{"Image", "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n\r\n", false},
        AnswerCase{"NoContentType", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n", false},
        AnswerCase{"OctetStream", "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n", true},
        AnswerCase{"Zip", "HTTP/1.1 200 OK\r\nContent-Type: application/zip\r\n\r\n", true},
        AnswerCase{
            "AttachedHtml",
            "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Disposition: attachment; filename=a.html\r\n\r\n",
            true},
        AnswerCase{"InlineDisposition",
                   "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Disposition: inline\r\n\r\n", false},
        AnswerCase{"NotFound", "HTTP/1.1 404 Not Found\r\nContent-Type: application/octet-stream\r\n\r\n", false},
        AnswerCase{"NoAnswer", "", false}),
    [](const auto& info) { return std::string(info.param.name); });

struct NameCase {
  const char* name;
  const char* headers;
  const char* address;
  const char* file;
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

class DownloadFileNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(DownloadFileNameTest, NamesTheFileSafely) {
  EXPECT_EQ(DownloadFileName(GetParam().headers, GetParam().address), GetParam().file);
}

INSTANTIATE_TEST_SUITE_P(
    Names, DownloadFileNameTest,
    ::testing::Values(
        NameCase{"QuotedFilename", "HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=\"up date.exe\"\r\n",
                 "http://h/x", "up date.exe"},
        NameCase{"BareFilename", "HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=a.zip; size=3\r\n",
                 "http://h/x", "a.zip"},
        NameCase{"ExtendedFilenameWins",
                 "HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=\"x.exe\"; "
                 "filename*=UTF-8''%E6%9B%B4%E6%96%B0.exe\r\n",
                 "http://h/x", "更新.exe"},
        NameCase{"FromThePath", "HTTP/1.1 200 OK\r\n", "http://h/dir/miui_V7.tgz?sign=1#top", "miui_V7.tgz"},
        NameCase{"PercentDecodedPath", "HTTP/1.1 200 OK\r\n", "http://h/%E5%8C%85.zip", "包.zip"},
        NameCase{"NoPath", "HTTP/1.1 200 OK\r\n", "http://h", "download"},
        NameCase{"TraversalDropped",
                 "HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=\"../../etc/passwd\"\r\n", "http://h/x",
                 "passwd"},
        NameCase{"BackslashDropped",
                 "HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=\"..\\\\evil.exe\"\r\n", "http://h/x",
                 "evil.exe"},
        NameCase{"HiddenDotsDropped", "HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=\"..\"\r\n",
                 "http://h/x", "download"},
        NameCase{"ControlCharactersDropped", "HTTP/1.1 200 OK\r\n", "http://h/a%0D%0Ab.exe", "ab.exe"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DownloadFileNameTest, NameInCodePage936IsConverted) {
  const Text headers = "HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=\"" + Ansi("更新") + ".exe\"\r\n";
  EXPECT_EQ(DownloadFileName(headers, "http://h/x"), "更新.exe");
}

class SaveNewFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = std::filesystem::temp_directory_path() / ("kestrune-save-" + std::to_string(::getpid())) / "sub";
    std::filesystem::remove_all(folder.parent_path());
  }
  void TearDown() override { std::filesystem::remove_all(folder.parent_path()); }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::filesystem::path folder;
};

TEST_F(SaveNewFileTest, CreatesTheFolderAndNeverReplacesAFile) {
  const std::string first = SaveNewFile(folder.string(), "a.tar.gz", std::string("one\0", 4));
  const std::string second = SaveNewFile(folder.string(), "a.tar.gz", "two");
  const std::string third = SaveNewFile(folder.string(), "a.tar.gz", "three");
  EXPECT_EQ(first, (folder / "a.tar.gz").string());
  EXPECT_EQ(second, (folder / "a.tar (1).gz").string());
  EXPECT_EQ(third, (folder / "a.tar (2).gz").string());
  EXPECT_EQ(Read(first), std::string("one\0", 4));
  EXPECT_EQ(Read(second), "two");
}

TEST_F(SaveNewFileTest, UnwritableFolderGivesNothing) {
  std::filesystem::create_directories(folder.parent_path());
  std::ofstream(folder.string()) << "a file where the folder should be";
  EXPECT_EQ(SaveNewFile(folder.string(), "a.zip", "x"), "");
}

}  // namespace
}  // namespace kestrune
