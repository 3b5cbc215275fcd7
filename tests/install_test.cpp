// Installation: what `cmake --install` puts where (under a scratch DESTDIR
// with the prefix /usr, as the Debian package is made), and that the
// installed programs, manual pages and bash completions work from there.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "settings/settings.h"
#include "test_support.h"

namespace {

// The build installed under a fresh DESTDIR, removed with it.
class Installed {
 public:
  Installed() {
    result_ = run_program(
        {"env", "DESTDIR=" + root(), CMAKE_PROGRAM, "--install", MOVDITH_BUILD_DIR, "--prefix", "/usr"});
  }
  const RunResult& result() const { return result_; }
  std::string root() const { return dir_ / "root"; }
  // An installed file, by its path under the prefix's parent ("usr/bin/...").
  std::string operator/(const std::string& path) const { return root() + "/" + path; }

 private:
  TempDir dir_;
  RunResult result_;
};

#define ASSERT_INSTALLED(installed) \
  ASSERT_EQ((installed).result().status, 0) << (installed).result().out << (installed).result().err

std::string source_file(const std::string& path) { return std::string(MOVDITH_SOURCE_DIR) + "/" + path; }

// Every file and link under `root`, by its path relative to it.
std::set<std::string> files_under(const std::string& root) {
  std::set<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
    if (!entry.is_directory() || entry.is_symlink())
      files.insert(std::filesystem::relative(entry.path(), root).string());
  return files;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(InstallLayout, EveryFileWhereDebianLooksAndNothingElse) {
  const Installed installed;
  ASSERT_INSTALLED(installed);

  enum class Kind { program, gzipped_copy, copy };
  struct Entry {
    std::string path;    // under the DESTDIR
    std::string source;  // what it is made from, in the source tree
    Kind kind;
  };
  std::vector<Entry> entries = {
      {"usr/bin/movdith", "", Kind::program},
      {"usr/bin/vidxview", "", Kind::program},
      {"usr/share/man/man1/movdith.1.gz", "man/movdith.1", Kind::gzipped_copy},
      {"usr/share/man/man1/vidxview.1.gz", "man/vidxview.1", Kind::gzipped_copy},
      {"usr/share/bash-completion/completions/movdith", "completion/movdith", Kind::copy},
      {"usr/share/bash-completion/completions/vidxview", "completion/vidxview", Kind::copy},
      {"usr/share/doc/movdith/README.md", "README.md", Kind::copy},
  };
  // Whatever docs/ holds goes along, so that the README's links still work.
  for (const std::string& doc : files_under(source_file("docs")))
    entries.push_back({"usr/share/doc/movdith/docs/" + doc, "docs/" + doc, Kind::copy});
#ifdef MOVDITH_WEB_SITE
  // The page, built: the site as it is, the one file and the site's zip
  // beside it (sources given from the root: they are in the build).
  for (const std::string& file : files_under(MOVDITH_WEB_SITE))
    entries.push_back({"usr/share/movdith/web/" + file, MOVDITH_WEB_SITE "/" + file, Kind::copy});
  for (const std::string file : {"movdith.html", "movdith-web.zip"})
    entries.push_back({"usr/share/movdith/" + file, MOVDITH_WEB_DIST "/" + file, Kind::copy});
#endif

  std::set<std::string> expected;
  for (const Entry& e : entries) expected.insert(e.path);
  EXPECT_EQ(files_under(installed.root()), expected);  // no tests, no libraries

  for (const Entry& e : entries) {
    SCOPED_TRACE(e.path);
    const std::string path = installed / e.path;
    switch (e.kind) {
      case Kind::program:
        EXPECT_EQ(mode_of(path), 0755u);
        break;
      case Kind::gzipped_copy: {
        EXPECT_EQ(mode_of(path), 0644u);
        const RunResult gunzip = run_program({"gzip", "-dc", path});
        EXPECT_EQ(gunzip.status, 0);
        // Compared whole but reported briefly: the files are long.
        EXPECT_TRUE(gunzip.out == read_file(source_file(e.source))) << "not " << e.source << " compressed";
        break;
      }
      case Kind::copy:
        EXPECT_EQ(mode_of(path), 0644u);
        EXPECT_TRUE(read_file(path) == read_file(e.source[0] == '/' ? e.source : source_file(e.source)))
            << "not a copy of " << e.source;
        break;
    }
  }
}

TEST(InstallRun, ConvertsInAnotherFolderWithTheRealEncoder) {
  const Installed installed;
  ASSERT_INSTALLED(installed);
  const TempDir movies, work;
  const std::string movie = movies / "clip.mp4";
  ASSERT_TRUE(make_movie(movie, "testsrc2=size=160x120:rate=25:duration=2"));

  const RunResult r = run_program({installed / "usr/bin/movdith", movie, "out.8xx"}, work.path());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.substr(0, size_lines(160, 120, 85, 64).size()), size_lines(160, 120, 85, 64));
  EXPECT_EQ(last_line(r.out), "Success!");
  const std::string video = read_file(work / "out.8xx");
  ASSERT_EQ(video.size(), size_t{kHeaderBytes} + 20 * size_t{kPlaneBytes});
  EXPECT_EQ(video.substr(0, kHeaderBytes), header_string(0, 20));
  EXPECT_EQ(folder_names(work.path()), std::set<std::string>{"out.8xx"});  // working files gone
  EXPECT_EQ(folder_names(movies.path()), std::set<std::string>{"clip.mp4"});

  const RunResult info = run_program({installed / "usr/bin/vidxview", "out.8xx", "--info"}, work.path());
  EXPECT_EQ(info.status, 0);
  EXPECT_EQ(info.out, "out.8xx: 2 shades, 20 frames, 2.0 seconds\n");
}

#ifdef MOVDITH_WEB_SITE
// The zip is the installed site under one folder, file for file, with the
// same bytes, and every entry a plain rw-r--r-- file of the same fixed time.
TEST(InstallWeb, TheZipHoldsTheSite) {
  const Installed installed;
  ASSERT_INSTALLED(installed);
  const std::string web = installed / "usr/share/movdith/web";
  const RunResult listing = run_program({"python3", "-c",
      "import sys, zipfile\n"
      "for e in zipfile.ZipFile(sys.argv[1]).infolist():\n"
      "    print(e.filename, oct(e.external_attr >> 16), e.date_time)",
      installed / "usr/share/movdith/movdith-web.zip"});
  ASSERT_EQ(listing.status, 0) << listing.err;
  std::vector<std::string> expected;
  for (const std::string& file : files_under(web))
    expected.push_back("movdith-web/" + file + " 0o100644 (1980, 1, 1, 0, 0, 0)");
  EXPECT_EQ(lines_of(listing.out), expected);
  const TempDir out;
  const RunResult unzip = run_program({"python3", "-m", "zipfile", "-e",
      installed / "usr/share/movdith/movdith-web.zip", out.path()});
  ASSERT_EQ(unzip.status, 0) << unzip.err;
  for (const std::string& file : files_under(web)) {
    SCOPED_TRACE(file);
    EXPECT_TRUE(read_file(out / ("movdith-web/" + file)) == read_file(web + "/" + file));
  }
}
#endif

TEST(InstallRun, UsageTextsCloseWithTheVersion) {
  const Installed installed;
  ASSERT_INSTALLED(installed);
  const std::string movdith_line =
      "movdith " MOVDITH_VERSION " - example: movdith movie.mp4 movie.8xx -g -r 4 - more in man movdith";
  const std::string vidxview_line = "vidxview " MOVDITH_VERSION ", part of movdith - more in man vidxview";
  const struct {
    std::vector<std::string> argv;
    int status;
    bool on_stderr;
    std::string last;
  } cases[] = {
      {{installed / "usr/bin/movdith"}, 1, false, movdith_line},
      {{installed / "usr/bin/movdith", "movie.mp4"}, 1, false, movdith_line},
      {{installed / "usr/bin/vidxview", "--help"}, 0, false, vidxview_line},
      {{installed / "usr/bin/vidxview", "-h"}, 0, false, vidxview_line},
      {{installed / "usr/bin/vidxview", "clip.8xx"}, 1, true, vidxview_line},  // no action given
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv.back());
    const RunResult r = run_program(c.argv);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(last_line(c.on_stderr ? r.err : r.out), c.last);
    EXPECT_EQ(c.on_stderr ? r.out : r.err, "");
  }
}

// Whether this machine has a manual page for `name` in section 1 where
// mandoc looks for cross references: its standard folders, not the DESTDIR.
bool system_has_page(const std::string& name) {
  return file_exists("/usr/share/man/man1/" + name + ".1.gz") || file_exists("/usr/share/man/man1/" + name + ".1");
}

TEST(InstallManual, CleanUnderMandocLintAndGroff) {
  const Installed installed;
  ASSERT_INSTALLED(installed);
  const struct {
    std::string page;
    std::vector<std::string> references;  // the pages its SEE ALSO names
  } cases[] = {
      {"movdith", {"mencoder", "vidxview"}},
      {"vidxview", {"movdith"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.page);
    const std::string page = installed / ("usr/share/man/man1/" + c.page + ".1.gz");
    // Every level of message, style included. The only one that depends on
    // the machine rather than the page is a cross reference to a page this
    // machine lacks (vidxview(1) before the package is installed); that one
    // alone is let through, and turns the status from 0 to 1 (style). The
    // messages come on standard output; standard error only has notes on the
    // machine's own page index.
    const RunResult lint = run_program({"mandoc", "-Tlint", page});
    const std::regex lacking(": STYLE: referenced manual not found: Xr ([a-z]+) 1( \\([0-9]+ times\\))?");
    const std::string prefix = "mandoc: " + page + ":";
    std::vector<std::string> messages;
    bool missing_reference = false;
    for (const std::string& line : lines_of(lint.out)) {
      std::smatch m;
      const size_t at = line.find(": STYLE");
      const std::string message = at == std::string::npos ? "" : line.substr(at);
      if (line.starts_with(prefix) && std::regex_match(message, m, lacking) &&
          std::count(c.references.begin(), c.references.end(), m[1].str()) && !system_has_page(m[1])) {
        missing_reference = true;
      } else {
        messages.push_back(line);
      }
    }
    EXPECT_EQ(messages, std::vector<std::string>{});
    EXPECT_EQ(lint.status, missing_reference ? 1 : 0) << lint.out;

    // man-db renders with groff, which has warnings of its own.
    const RunResult groff = run_program({"env", "LC_ALL=C.UTF-8", "MANWIDTH=80", "man", "--warnings", "-E", "UTF-8",
                                         "-l", "-Tutf8", "-Z", page});
    EXPECT_EQ(groff.status, 0);
    EXPECT_EQ(groff.err, "");
  }
}

// Completes `line` (the cursor at its end) in `cwd` the way bash does with
// bash-completion: the completion file is found by bash-completion's own
// loader in the installed tree, and the line is split as readline splits it,
// at blanks and with each "=" a word of its own. Gives the candidates sorted,
// and what the function asked of compopt (recorded, since compopt works only
// inside a real completion).
struct Completion {
  std::vector<std::string> candidates;
  std::string compopt;
  int status;
};

const char* const kBashCompletion = "/usr/share/bash-completion/bash_completion";

Completion complete_line(const Installed& installed, const std::string& cwd, const std::string& line) {
  const std::string script = R"(
source ")" + std::string(kBashCompletion) + R"(" || exit 2
exec 3>&2
compopt() { local IFS=' '; printf '%s\n' "$*" >&3; }
COMP_LINE=$1
COMP_POINT=${#COMP_LINE}
read -ra COMP_WORDS <<<"${COMP_LINE//=/ = }"
[[ $COMP_LINE == *' ' ]] && COMP_WORDS+=('')
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
__load_completion "${COMP_WORDS[0]}" || exit 3
completion=$(complete -p "${COMP_WORDS[0]}") || exit 4
function=${completion#*-F }
"${function%% *}" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
for c in "${COMPREPLY[@]}"; do printf '%s\n' "$c"; done
)";
  const RunResult r = run_program({"env", "BASH_COMPLETION_USER_DIR=" + (installed / "usr/share/bash-completion"),
                                   "BASH_COMPLETION_USER_FILE=/dev/null", "bash", "--norc", "--noprofile", "-c",
                                   script, "bash", line},
                                  cwd);
  Completion c{lines_of(r.out), r.err, r.status};
  std::sort(c.candidates.begin(), c.candidates.end());
  return c;
}

struct CompletionCase {
  std::string line;
  std::vector<std::string> candidates;  // in byte order
  std::string compopt;
};

void expect_completions(const std::vector<CompletionCase>& cases) {
  ASSERT_TRUE(file_exists(kBashCompletion)) << "bash-completion is not installed";
  const Installed installed;
  ASSERT_INSTALLED(installed);
  const TempDir dir;
  for (const char* name : {"clip.8xx", "CAPS.8XX", "movie.mp4", "Trailer.MKV", "notes.txt", "anim.gif", "sheet.png"})
    write_bytes(dir / name, "");
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  for (const CompletionCase& c : cases) {
    SCOPED_TRACE("[" + c.line + "]");
    const Completion got = complete_line(installed, dir.path(), c.line);
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.candidates, c.candidates);
    EXPECT_EQ(got.compopt, c.compopt);
  }
}

const std::string kFiles = "-o filenames\n";  // names quoted and folders given a slash
const std::string kNoSpace = "-o nospace\n";  // the value follows the "=" directly

TEST(InstallCompletion, MovdithPathsOptionsAndValues) {
  // Every name the program takes, in the order the candidates are sorted.
  std::vector<std::string> dithers;
  for (int m = 0; m < kDitherModeCount; ++m) dithers.emplace_back(dither_mode_name(static_cast<DitherMode>(m)));
  std::sort(dithers.begin(), dithers.end());
  expect_completions({
      {"movdith ", {"Trailer.MKV", "movie.mp4", "sub"}, kFiles},
      {"movdith m", {"movie.mp4"}, kFiles},
      {"movdith movie.mp4 ", {"CAPS.8XX", "clip.8xx", "sub"}, kFiles},
      {"movdith movie.mp4 c", {"clip.8xx"}, kFiles},
      {"movdith movie.mp4 out.8xx ",
       {"--brightness=", "--contrast=", "--dither=", "--duration=", "--engine=", "--fit=", "--gamma=", "--levels=",
        "--serpentine", "--sharpen=", "--stable", "--start=", "-g", "-m", "-r"},
       kNoSpace},
      {"movdith movie.mp4 out.8xx -g --s", {"--serpentine", "--sharpen=", "--stable", "--start="}, kNoSpace},
      {"movdith movie.mp4 out.8xx --levels=", {"auto", "off"}, ""},
      {"movdith movie.mp4 out.8xx --gamma=", {"1", "1.8", "2.2", "2.4"}, ""},
      {"movdith movie.mp4 out.8xx --sharpen=", {"0.5", "1", "2"}, ""},
      {"movdith movie.mp4 out.8xx --brightness=", {}, ""},
      {"movdith movie.mp4 out.8xx --e", {"--engine="}, kNoSpace},
      {"movdith movie.mp4 out.8xx --engine=", {"builtin", "mencoder"}, ""},
      {"movdith movie.mp4 out.8xx --engine=b", {"builtin"}, ""},
      {"movdith movie.mp4 out.8xx --fit=", {"crop", "pad", "stretch"}, ""},
      {"movdith movie.mp4 out.8xx --dither=", dithers, ""},
      {"movdith movie.mp4 out.8xx --dither=s", {"sierra", "sierra-lite", "stucki"}, ""},
      {"movdith movie.mp4 out.8xx --start=", {}, ""},
      {"movdith movie.mp4 out.8xx -r ", {}, ""},
      {"movdith movie.mp4 out.8xx -m ",
       {"0,0,0,0,0,0.333333,0,0.333333,0", "0,0,0,0,0,0.4375,0.1875,0.3125,0.0625"}, ""},
      {"movdith movie.mp4 out.8xx x", {}, ""},  // movdith ignores such a word
  });
}

TEST(InstallCompletion, VidxviewFileActionsAndOptions) {
  expect_completions({
      {"vidxview ", {"CAPS.8XX", "clip.8xx", "sub"}, kFiles},
      {"vidxview clip.8xx ", {"--gif", "--help", "--info", "--play", "--png"}, ""},
      {"vidxview --p", {"--play", "--png"}, ""},
      {"vidxview --info c", {"clip.8xx"}, kFiles},
      {"vidxview clip.8xx --gif ", {"anim.gif", "sub"}, kFiles},
      {"vidxview clip.8xx --png ", {"sheet.png", "sub"}, kFiles},
      {"vidxview clip.8xx --gif a.gif ", {"--scale"}, ""},
      {"vidxview clip.8xx --png a.png ", {"--every", "--scale"}, ""},
      {"vidxview clip.8xx --png a.png --scale 2 ", {"--every"}, ""},
      {"vidxview clip.8xx --scale ", {}, ""},
      {"vidxview clip.8xx --play ", {}, ""},
  });
}

}  // namespace
