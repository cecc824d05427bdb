// The object archive: a tree of named nodes holding named values, stored either as a
// binary file (obj_archive_bin.h, plain or gzip-compressed) or as an XML document
// (obj_archive_xml.h). An object persists itself with one Serialize routine that asks
// IsStoring and then writes or reads each member; reads pass the member's default, so a
// missing value or node leaves the default in place.
//
// Names and texts are UTF-8 at this interface; the formats keep them as UTF-16.
// An archive is used from one thread at a time.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class CNxObjAr;

// Base of every class that persists itself through an archive.
class CNxLoadStoreAble {
 public:
  virtual void Serialize(CNxObjAr& ar) = 0;
  virtual ~CNxLoadStoreAble() = default;
};

// An in-memory byte stream that an archive can read from or write to. It is named in a
// target text as ":" + its address in lowercase hexadecimal; only streams alive in this
// process resolve, so a forged or stale designation never reaches memory.
class TNxMemStream {
 public:
  TNxMemStream();
  ~TNxMemStream();
  TNxMemStream(const TNxMemStream&) = delete;
  TNxMemStream& operator=(const TNxMemStream&) = delete;

  std::string& Bytes() { return bytes_; }
  const std::string& Bytes() const { return bytes_; }
  size_t Position() const { return pos_; }
  void Seek(size_t pos) { pos_ = pos < bytes_.size() ? pos : bytes_.size(); }
  size_t Size() const { return bytes_.size(); }
  // Copies up to n bytes from the position on and advances; returns the count copied.
  size_t Read(void* out, size_t n);
  // Writes at the position (overwriting, then extending) and advances.
  void Write(const void* data, size_t n);

  std::string Designation() const;
  // The live stream a target text designates, or nullptr.
  static TNxMemStream* FromDesignation(std::string_view target);

 private:
  std::string bytes_;
  size_t pos_ = 0;
};

enum class ObjArFormat : int32_t { Auto = 0, XML = 1, BIN = 2, BINZ = 3 };

// The abstract archive. Operations whose base behaviour converts through text do so with
// '.' as the decimal separator.
class CNxObjAr {
 public:
  // Caller errors (entering a missing node while loading, leaving the root, writing to a
  // loading archive, reading from a storing one) are refused: the call returns false or
  // the default and the position stays where it was.
  [[nodiscard]] virtual bool Open(const std::string& target, bool storing) = 0;
  [[nodiscard]] virtual bool OpenResource(void* module, const std::string& resourceName);
  [[nodiscard]] virtual bool OpenStream(TNxMemStream& stream, bool storing);
  virtual std::string FormatName() const = 0;
  virtual ~CNxObjAr() = default;
  // Storing archives write their target here; write errors raise std::runtime_error.
  virtual bool Close() = 0;
  virtual bool IsStoring() const = 0;
  virtual bool EnterNode(std::string_view name) = 0;
  virtual bool LeaveNode() = 0;
  virtual int32_t ReadInt(std::string_view name, int32_t def);
  virtual double ReadFloat(std::string_view name, double def);
  virtual std::string ReadString(std::string_view name, std::string_view def) = 0;
  virtual bool ReservedQuery(std::string_view name);
  virtual double ReadDateTime(std::string_view name, double def);
  virtual void WriteInt(std::string_view name, int32_t value);
  virtual void WriteFloat(std::string_view name, double value);
  virtual void WriteString(std::string_view name, std::string_view value) = 0;
  virtual void WriteDateTime(std::string_view name, double value);
  virtual void ReservedWrite(std::string_view name);
  virtual bool HasNode(std::string_view name);

  // The file path, the stream designation, or (XML on text) the text produced by Close.
  const std::string& Target() const { return target_; }

 protected:
  std::string target_;
};

// Text forms shared by the formats.
std::string ObjArFloatText(double value);           // general format, 15 significant digits
bool ObjArParseFloat(std::string_view text, double& value);
std::string ObjArDateTimeText(double dateTime);     // "yyyy-mm-dd hh:nn:ss.zzz"
bool ObjArParseDateTime(std::string_view text, double& dateTime);

// Opens an archive for reading; nullptr on every failure (missing file, malformed
// content, an exception while opening). Auto tells binary from XML by the first bytes;
// XML falls back to the same path with the extension ".XBIN"; BIN and BINZ both read
// plain and compressed binary files.
[[nodiscard]] std::unique_ptr<CNxObjAr> OpenArchiveForRead(const std::string& target, ObjArFormat format);
// Creates an archive opened for storing; nothing reaches the target before Close.
[[nodiscard]] std::unique_ptr<CNxObjAr> CreateArchiveForWrite(const std::string& target, ObjArFormat format);
// Stores or loads one sub-object under a named child node; a child missing on loading
// is skipped and the object keeps its values.
void SerializeChild(CNxObjAr& ar, std::string_view name, CNxLoadStoreAble& obj);

// Node names of a prefix and a decimal index ("PRJ3", "V12"), made without allocating;
// the view stays valid until the next call on the same object.
class TIndexedName {
 public:
  std::string_view Of(std::string_view prefix, uint64_t index);

 private:
  char buf_[48];
};
