#pragma once

// What the converter program (pstopdf) and the programs that run it agree on
// besides its arguments.

// Its default limits; a caller sizes how many it runs at once by the memory.
inline constexpr unsigned long kConverterCpuSeconds = 300;
inline constexpr unsigned long kConverterMemoryMiB = 4096;
inline constexpr unsigned long kConverterMaxOutputMiB = 4096;
// Files one job may have at once: the interpreter makes a handful, and empty
// files cost no bytes, only the file system's entries.
inline constexpr unsigned long kConverterMaxFiles = 2000;
// A conversion's whole time, however little processor time it takes (a job
// that waits costs none).
inline constexpr unsigned long kConverterWallSeconds = 900;

// The number of a descriptor on which the converter reports what it found in
// the finished PDF (as FindingsReport writes it) just before its standard
// error closes. Set by a caller that reads it; a converter that does not know
// it ignores it.
inline constexpr char kReportVariable[] = "QUILLPRESS_PSTOPDF_REPORT_FD";

// "1": the PDF is written losslessly smaller (object streams, recompressed
// streams), as PdfPresetCompressesStructure says for the preset.
inline constexpr char kCompressVariable[] = "QUILLPRESS_PSTOPDF_COMPRESS";
