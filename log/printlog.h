#pragma once
// The printed log: a blank line, the title, then the status box's text, on as
// many pages as it takes. Works on any paged device (a printer, a PDF writer).
#include <QString>
#include <functional>

class QPagedPaintDevice;

inline constexpr const char* kPrintTitle = "Brisko Corvameter Error Logger";

// False when the device cannot be painted on or a page cannot be started;
// nothing is then known about what reached the device.
// `discard`, when given, runs on a failure before the document is closed, so a
// printer can drop the unfinished job instead of sending it.
bool printLogDocument(QPagedPaintDevice& device, const QString& text,
                      const std::function<void()>& discard = {});
