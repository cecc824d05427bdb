// Checks the XML archive on XmlLite (run under Wine by scripts/test-windows.sh with the
// folder of the XML fuzz corpus): the corpus goes through the fuzz target's round trip,
// then nesting deeper than XmlLite allows by default, many children found by name in and
// out of order, texts XML must escape, the text form, and a control character. Texts with
// tabs or line ends are left out: Wine's XmlLite turns their references into spaces, where
// the XML rules (and Windows) keep them. Prints
// one line per failed check; the exit code is the number of failures.
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "common/archive/obj_archive_xml.h"
#include "common/platform/paths.h"
#include "common/platform/text.h"
#include "tests/fuzz/archive_roundtrip.h"
#include "tests/windows/check_count.h"

namespace {
// The corpus as the fuzz target takes it, as a file and as the text form (a mismatch
// aborts the process).
void Corpus(const std::filesystem::path& dir) {
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string path = Utf16ToUtf8(entry.path().u16string());
    std::string bytes;
    Check(ReadFileBytes(path, bytes), "read " + path);
    ++files;
    try {
      TNxMemStream stream;
      stream.Bytes() = bytes;
      CNxObjArXML ar;
      if (ar.OpenStream(stream, false)) CheckRoundTrip(ar, ObjArFormat::XML);
      CNxObjArXML text;
      if (text.OpenText(bytes, false)) CheckRoundTrip(text, ObjArFormat::XML);
    } catch (const std::exception& e) {
      Check(false, path + ": " + e.what());
    }
  }
  Check(files > 0, "the corpus folder has files");
}

// Stores with fill into a stream, loads it back and hands the loading archive to read.
template <class F, class R>
void StoreLoad(const std::string& what, F fill, R read) {
  TNxMemStream s;
  CNxObjArXML w;
  Check(w.Open(s.Designation(), true), what + ": open for storing");
  fill(w);
  Check(w.Close(), what + ": close");
  s.Seek(0);
  CNxObjArXML r;
  if (!r.Open(s.Designation(), false)) return Check(false, what + ": load");
  read(r);
}

void Nesting() {
  constexpr int kDepth = 300;  // XmlLite stops at 256 unless told otherwise
  StoreLoad(
      "deep nesting",
      [](CNxObjAr& a) {
        for (int i = 0; i < kDepth; ++i) a.EnterNode("N");
        a.WriteString("At", "bottom");
      },
      [](CNxObjAr& a) {
        int depth = 0;
        while (depth < kDepth && a.EnterNode("N")) ++depth;
        Check(depth == kDepth && a.ReadString("At", "") == "bottom", "deep nesting: " + std::to_string(depth));
      });
}

// Names rising by length then bytes take the sorted index, others the map.
void ManyChildren() {
  constexpr int kCount = 2000;
  for (const bool reversed : {false, true}) {
    const auto name = [&](int i) { return "V" + std::to_string(reversed ? kCount - 1 - i : i); };
    StoreLoad(
        "many children",
        [&](CNxObjAr& a) {
          for (int i = 0; i < kCount; ++i) {
            a.EnterNode(name(i));
            a.WriteInt("I", reversed ? kCount - 1 - i : i);
            a.LeaveNode();
          }
        },
        [&](CNxObjAr& a) {
          int found = 0;
          for (int i = kCount - 1; i >= 0; --i) {
            if (a.EnterNode("V" + std::to_string(i))) {
              found += a.ReadInt("I", -1) == i;
              a.LeaveNode();
            }
          }
          Check(found == kCount && !a.HasNode("V" + std::to_string(kCount)),
                std::string("children found by name") + (reversed ? " (reversed)" : "") + ": " + std::to_string(found));
        });
  }
}

void Texts() {
  struct TCase {
    const char* value;
    const char* back;  // what a reading gives
  };
  const TCase cases[] = {
      {"quote \" apos ' lt < gt > amp & end", nullptr},
      {"\xC3\xA4\xE4\xB8\xAD\xF0\x9F\x98\x80", nullptr},
      {"not UTF-8 \xC3 here", "not UTF-8 \xEF\xBF\xBD here"},
      {"", nullptr},
  };
  for (const TCase& c : cases) {
    StoreLoad(
        "text", [&](CNxObjAr& a) { a.WriteString("T", c.value); },
        [&](CNxObjAr& a) {
          const std::string got = a.ReadString("T", "missing");
          Check(got == (c.back ? c.back : c.value), std::string("text comes back: ") + c.value + " -> " + got);
        });
  }
  CNxObjArXML w;
  Check(w.OpenText("", true), "text form: open");
  w.EnterNode("PRJ0");
  w.WriteString("Name", "a <b> & \"c\"");
  w.LeaveNode();
  Check(w.Close() && !w.Target().empty(), "text form: close");
  CNxObjArXML r;
  Check(r.OpenText(w.Target(), false) && r.EnterNode("PRJ0") && r.ReadString("Name", "") == "a <b> & \"c\"",
        "text form reads back: " + w.Target());
}

// A control character XML 1.0 has no place for is written as the Linux build writes it, a
// decimal reference; XmlLite refuses such a reference when reading, which must end as a
// failed open, not a crash.
void ControlCharacter() {
  TNxMemStream s;
  CNxObjArXML w;
  Check(w.Open(s.Designation(), true), "control character: open");
  w.WriteString("T", std::string("bell \x07"));
  Check(w.Close(), "control character: close");
  const std::string text = Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(s.Bytes().data() + 2),
                                                            (s.Size() - 2) / 2));
  Check(text.find("T=\"bell &#07;\"") != std::string::npos, "control character written as a reference: " + text);
  s.Seek(0);
  CNxObjArXML r;
  if (r.Open(s.Designation(), false)) (void)r.ReadString("T", "");
}
}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);  // an abort in the round trip keeps what was said
  if (argc < 2) {
    std::printf("usage: archive_check CORPUS-FOLDER\n");
    return 100;
  }
  Corpus(argv[1]);
  Nesting();
  ManyChildren();
  Texts();
  ControlCharacter();
  std::printf("archive_check: %d failure(s)\n", CheckFailures());
  return CheckFailures();
}
