#pragma once
// Random strings for the differential tests and the benchmark: ASCII, accented
// letters (precomposed and decomposed), letters whose case forms are special,
// punctuation, digits, line feeds and spaces.

#include <QString>
#include <QStringList>
#include <random>

class RandomText {
public:
    explicit RandomText(quint32 seed) : m_engine(seed) {}

    int number(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_engine); }
    bool chance(double p) { return std::bernoulli_distribution(p)(m_engine); }
    template <typename T> const T &pick(const QList<T> &list) {
        return list.at(number(0, int(list.size()) - 1));
    }

    // One "character" (one or two code units) from a mixed pool.
    QString character();
    // A string of up to maxLength characters.
    QString string(int maxLength);
    // A word as on a record screen: a name, a label, a date, a number.
    QString word();
    // A patient name: two (sometimes three) parts.
    QString name();
    // Text of `count` words separated by spaces, with line feeds inside some.
    QString windowText(int count);
    // A pattern drawn from `searched`: some of its characters in order, with
    // case changes and a few strays, so that the walk finds matches.
    QString patternFrom(const QString &searched);

private:
    std::mt19937 m_engine;
};
