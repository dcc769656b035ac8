#pragma once
// The status text as the user reads it, in the status box and on paper alike.
#include <QString>
#include <QStringList>

// The lines of a status text. Only CR LF breaks a line, as the messages and
// log records end theirs; a lone CR or LF, and the NUL characters a short log
// record leaves from the stale bytes of its buffer, show as nothing (no box,
// no stray character). Text ending in CR LF ends with an empty line.
QStringList statusLines(const QString& text);
