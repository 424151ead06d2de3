#pragma once
// Readable QString and QByteArray values in test failure messages.

#include <QByteArray>
#include <QString>
#include <ostream>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString &s, std::ostream *os) {
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QByteArray &b, std::ostream *os) {
    *os << '"' << b.left(400).toStdString() << (b.size() > 400 ? "...\"" : "\"");
}
QT_END_NAMESPACE
