// The Modbus address table of configured projects, as HTML (with the notes for the
// plant engineer) or as CSV, both UTF-8. It needs only the configuration, so the server's
// window and the zelcfg tool write the same file.
#pragma once
#include <span>
#include <string>

class TOpcPrj;

[[nodiscard]] std::string ModbusTableCsv(std::span<const TOpcPrj* const> prjs);
[[nodiscard]] std::string ModbusTableHtml(std::span<const TOpcPrj* const> prjs);
// CSV when the name ends in ".csv" (any case), else HTML; an existing file is replaced.
[[nodiscard]] bool ExportModbusTable(const std::string& fileName, std::span<const TOpcPrj* const> prjs);
