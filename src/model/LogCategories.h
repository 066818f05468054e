#pragma once

#include <QLoggingCategory>

// The diagnostic categories of the unified log, all under the application's reverse-DNS
// identifier. Dynamic values are always printed in full (nothing is redacted on this platform).
namespace lumacast {

inline constexpr const char *kApplicationIdentifier = "app.lumacast.Lumacast";

namespace log {
const QLoggingCategory &app();
const QLoggingCategory &state();
const QLoggingCategory &permissions();
const QLoggingCategory &recorder();
const QLoggingCategory &writer();
const QLoggingCategory &review();
const QLoggingCategory &exporting(); // the "export" category; `export` is a C++ keyword
const QLoggingCategory &persistence();
const QLoggingCategory &shortcuts();
} // namespace log

} // namespace lumacast
