#pragma once
// The secrets that let a request in: a control token that may press the
// instrument's buttons and an optional view token that may only watch.
#include <QByteArray>
#include <QString>

namespace tokens {

// The token in `path`, made there on first use: 128 random bits as 32 hex
// digits, in a file only its owner may read, holding the token alone. Empty
// with the reason in `why` when the file cannot be made or read, or others
// may read it.
QByteArray loadOrCreate(const QString& path, QString& why);

// Equal, in a time that does not depend on where they differ.
bool same(const QByteArray& a, const QByteArray& b);

}   // namespace tokens
