// The XML engine under the XML archive (obj_archive_xml.cc): a tree of elements with
// attributes, parsed from a file's bytes and written out as UTF-8 text. The archive's rules
// (names, values, line ends, the file's UTF-16) sit above it and are the same everywhere;
// Linux parses and writes with pugixml, Windows parses with XmlLite, the XML API it ships,
// and writes the same bytes as the Linux build.
//
// Each engine header gives the same two types:
//   TXmlNode      an element handle, cheap to copy, false when there is none:
//                 Id() (stable while the document lives), Name(), FirstElement(),
//                 NextElement(), Parent(), Child(name) (the first element of that name),
//                 Attribute(name) (its value, nullptr when missing),
//                 SetAttribute(name, value) (replaces the first of that name or appends),
//                 AppendElement(name). Names and values are zero-terminated UTF-8.
//   TXmlDocument  NewStore(rootName) (the declaration of a UTF-16 file and an empty root;
//                 returns the root), Parse(bytes, size) (the encoding from the byte-order
//                 mark or the declaration), ParseUtf8(text, size), ParseFile(path),
//                 Root() (none after a failed parse), Reset(),
//                 Write(out) (the whole document, declaration first, one element per
//                 line indented by tabs) and WriteRoot(out) (the document element alone,
//                 without whitespace). Write errors raise std::runtime_error.
// and XmlEngineProblem(): empty while the engine can work, else why it cannot (for the
// message of a program that could not read an archive).
#pragma once

#ifdef _WIN32
#include "common/archive/xml_engine_xmllite.h"
#else
#include "common/archive/xml_engine_pugi.h"
#endif
