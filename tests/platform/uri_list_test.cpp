#include "platform/uri_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct UriListCase {
  const char* what;
  std::string list;
  std::vector<std::string> paths;
};

TEST(UriList, ReadsTheLocalFilesItNames) {
  using V = std::vector<std::string>;
  const UriListCase cases[] = {
      {"CRLF lines in order", "file:///a/one.dae\r\nfile:///b/two.ani\r\n", V{"/a/one.dae", "/b/two.ani"}},
      {"bare LF and no final line end", "file:///a\nfile:///b", V{"/a", "/b"}},
      {"comments and blank lines", "# from a file manager\r\n\r\nfile:///x.mdl\r\n#file:///not\r\n", V{"/x.mdl"}},
      {"escapes decoded", "file:///m/two%20words%2520100%25.dae\r\n", V{"/m/two words%20100%.dae"}},
      {"UTF-8 escapes", "file:///%E3%83%A2.mdl", V{"/\xE3\x83\xA2.mdl"}},
      {"bad escapes kept", "file:///a%2/b%zz%", V{"/a%2/b%zz%"}},
      {"localhost and single slash", "file://localhost/p/q\r\nFILE://LocalHost/r\r\nfile:/s\r\n", V{"/p/q", "/r", "/s"}},
      {"this host's name", "file://viewer-box/p\r\nfile://other-box/q\r\n", V{"/p"}},
      {"query and fragment dropped", "file:///a.dae?x=1\r\nfile:///b.dae#frag\r\nfile:///c%23.dae\r\n",
       V{"/a.dae", "/b.dae", "/c#.dae"}},
      {"other schemes skipped", "http://host/a.dae\r\nsmb://s/b.dae\r\nfiles:///c\r\nfile:///d\r\n", V{"/d"}},
      {"relative, empty and NUL paths skipped",
       "file:rel.dae\r\nfile://\r\nfile:///\r\nfile://localhost\r\nfile:///a%00b\r\n", V{"/"}},
      {"spaces around a line", "  file:///a  \r\n\tfile:///b\t\r\n", V{"/a", "/b"}},
      {"empty list", "", V{}},
  };
  for (const UriListCase& c : cases) {
    EXPECT_EQ(text::filePathsFromUriList(c.list, "viewer-box"), c.paths) << c.what;
  }
  EXPECT_EQ(text::filePathsFromUriList("file://viewer-box/p"), V{}) << "no host name given";
}

TEST(UriList, FileUriRoundTrips) {
  const std::string path = "/tmp/two words 100%#?\xE3\x83\xA2.dae";
  EXPECT_EQ(text::fileUri(path), "file:///tmp/two%20words%20100%25%23%3F%E3%83%A2.dae");
  EXPECT_EQ(text::filePathsFromUriList(text::fileUri(path) + "\r\n"), std::vector<std::string>{path});
}

}  // namespace
