// SPDX-License-Identifier: MIT
#include "web/url.h"

#include <string>

#include <gtest/gtest.h>

namespace kestrune {
namespace {

struct AddressCase {
  const char* name;
  std::string address;
  std::string host;
  std::string hostWithPort;
  std::string domain;
  std::string domainWithPort;
  int port;
  std::string path;
};

class AddressTest : public ::testing::TestWithParam<AddressCase> {};

TEST_P(AddressTest, CutsHostPortAndPath) {
  const AddressCase& t = GetParam();
  EXPECT_EQ(UrlHost(t.address), t.host);
  EXPECT_EQ(UrlHost(t.address, false, true), t.hostWithPort);
  EXPECT_EQ(UrlHost(t.address, true, false), t.domain);
  EXPECT_EQ(UrlHost(t.address, true, true), t.domainWithPort);
  EXPECT_EQ(UrlPort(t.address), t.port);
  EXPECT_EQ(UrlPath(t.address), t.path);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AddressTest,
    ::testing::Values(
        AddressCase{"CapitalSchemePortAndQuery", "HTTP://P.Q.R:8080/a/b?x=1", "p.q.r", "p.q.r:8080", "q.r",
                    "q.r:8080", 8080, "/a/b?x=1"},
        AddressCase{"NoScheme", "q.r/x", "q.r", "q.r", "q.r", "q.r", 80, "/x"},
        AddressCase{"NoSchemeWithPort", "q.r:81/x", "q.r", "q.r:81", "q.r", "q.r:81", 81, "/x"},
        AddressCase{"Https", "https://q.r/x", "q.r", "q.r", "q.r", "q.r", 443, "/x"},
        AddressCase{"HttpsInCapitals", "HTTPS://Q.R", "q.r", "q.r", "q.r", "q.r", 443, "/"},
        AddressCase{"HttpsWithPort", "https://q.r:8443/", "q.r", "q.r:8443", "q.r", "q.r:8443", 8443, "/"},
        AddressCase{"PathKeepsCase", "http://q.r/x/Y?z=1", "q.r", "q.r", "q.r", "q.r", 80, "/x/Y?z=1"},
        AddressCase{"NothingAfterHost", "http://q.r", "q.r", "q.r", "q.r", "q.r", 80, "/"},
        AddressCase{"PortThenPath", "http://q.r:8080/p", "q.r", "q.r:8080", "q.r", "q.r:8080", 8080, "/p"},
        AddressCase{"SingleLabel", "http://localhost:5/", "localhost", "localhost:5", "localhost", "localhost:5", 5,
                    "/"},
        AddressCase{"Loopback", "http://127.0.0.1:4567/rom/list?x=1", "127.0.0.1", "127.0.0.1:4567", "0.1",
                    "0.1:4567", 4567, "/rom/list?x=1"},
        AddressCase{"CatalogueAddress", "http://www.miui.com/download-290.html", "www.miui.com", "www.miui.com",
                    "miui.com", "miui.com", 80, "/download-290.html"},
        // A host that also stands inside "http://" must be found where it is.
        AddressCase{"HostInsideScheme", "http://t/x", "t", "t", "t", "t", 80, "/x"},
        AddressCase{"HostInsideSchemeWithPort", "http://p:81/x", "p", "p:81", "p", "p:81", 81, "/x"},
        // An "http://" in the query of an address without scheme is no scheme.
        AddressCase{"SchemeLikeTextInQuery", "q.r/go?to=http://x.y/z", "q.r", "q.r", "q.r", "q.r", 80,
                    "/go?to=http://x.y/z"},
        AddressCase{"Empty", "", "", "", "", "", 80, "/"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HeaderValueTest, TextAfterFirstColonTrimmed) {
  EXPECT_EQ(HeaderValue("Location:  /x/y"), "/x/y");
  EXPECT_EQ(HeaderValue("Location: http://q.r:81/x "), "http://q.r:81/x");
  EXPECT_EQ(HeaderValue("no colon here"), "");
  EXPECT_EQ(HeaderValue("Empty:"), "");
  EXPECT_EQ(HeaderValue("Name:\tv"), "\tv");  // only spaces are trimmed
  EXPECT_EQ(HeaderValue(""), "");
}

struct MergeCase {
  const char* name;
  std::string cookies;
  std::string newCookies;
  std::string merged;
  std::string newAfter;
};

class MergeCookiesTest : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeCookiesTest, MergesAndReplacesBothArguments) {
  const MergeCase& t = GetParam();
  Text cookies = t.cookies;
  Text newCookies = t.newCookies;
  EXPECT_EQ(MergeCookies(cookies, newCookies), t.merged);
  EXPECT_EQ(cookies, t.merged);
  EXPECT_EQ(newCookies, t.newAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MergeCookiesTest,
    ::testing::Values(MergeCase{"NewReplaceOldOldFollow", "a=1; b=2", "b=3; c=4", "b=3; c=4; a=1", "b=3;c=4"},
                      MergeCase{"DeletedDropsOut", "a=1; b=2", "a=deleted", "b=2", "a=deleted"},
                      MergeCase{"DuplicatesReduced", "a=1", "a=1;a=1", "a=1", "a=1;a=1"},
                      MergeCase{"BothEmpty", "", "", "", ""},
                      MergeCase{"SpacesInsideValuesRemoved", "x = 1 y", "", "x=1y", ""},
                      MergeCase{"FullWidthSpacesRemoved", "a=\xA1\xA1" "1", "", "a=1", ""},
                      MergeCase{"OnlyNew", "", "s=1; t=2; ", "s=1; t=2", "s=1;t=2;"},
                      MergeCase{"FromFetcherSetCookieLines", "b=9; c=3", "a=1; b=2; ", "a=1; b=2; c=3",
                                "a=1;b=2;"},
                      MergeCase{"FirstOfTwoOldSameNameKept", "a=1;a=2", "", "a=1", ""},
                      MergeCase{"ItemWithoutEquals", "flag; a=1", "a=2", "a=2; flag", "a=2"},
                      MergeCase{"DeletedOnlyNew", "", "z=deleted", "", "z=deleted"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CookieNameTest, BeforeFirstEqualsTrimmed) {
  EXPECT_EQ(CookieName(" sid =a=b"), "sid");
  EXPECT_EQ(CookieName("flag"), "flag");
  EXPECT_EQ(CookieName("=v"), "");
  EXPECT_EQ(CookieName(""), "");
}

TEST(ItemListTest, HasCookieNameAndFindItem) {
  const TextArray items = {"a=1", " b =2", "c", ""};
  EXPECT_TRUE(HasCookieName(items, "a"));
  EXPECT_TRUE(HasCookieName(items, "b"));
  EXPECT_TRUE(HasCookieName(items, "c"));
  EXPECT_FALSE(HasCookieName(items, "A"));
  EXPECT_FALSE(HasCookieName({}, ""));
  EXPECT_EQ(FindItem(items, "c"), 3);
  EXPECT_EQ(FindItem(items, ""), 4);
  EXPECT_EQ(FindItem(items, "a"), -1);
  EXPECT_EQ(FindItem({}, ""), -1);
  EXPECT_EQ(FindItem({"x", "x"}, "x"), 1);
}

TEST(RemoveDuplicateItemsTest, KeepsFirstOccurrencesInOrder) {
  EXPECT_EQ(RemoveDuplicateItems("a; b; a; c", "; "), "a; b; c");
  EXPECT_EQ(RemoveDuplicateItems("a; b; c", "; "), "a; b; c");
  EXPECT_EQ(RemoveDuplicateItems("", "; "), "");
  EXPECT_EQ(RemoveDuplicateItems("a|a|", "|"), "a");
  EXPECT_EQ(RemoveDuplicateItems("|a||a", "|"), "|a");  // the empty item counts once
  EXPECT_EQ(RemoveDuplicateItems("A;a", ";"), "A;a");   // case respected
}

TEST(WebAddressTest, OnlyHttpAndHttpsWithoutControlBytes) {
  struct Case {
    const char* address;
    bool webScheme;
    bool webAddress;
  };
  const Case cases[] = {
      {"http://a/b.tgz", true, true},
      {"HTTPS://A/b", true, true},
      {"http://", false, false},  // nothing after the scheme
      {"file:///etc/passwd", false, false},
      {"javascript:alert(1)", false, false},
      {" http://a/", false, false},
      {"ftp://a/http://b", false, false},
      {"http://a/\r\nX-Injected: 1", true, false},
      {"http://a/\x7f", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(HasWebScheme(c.address), c.webScheme);
    EXPECT_EQ(IsWebAddress(c.address), c.webAddress);
  }
}

}  // namespace
}  // namespace kestrune
