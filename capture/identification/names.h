#pragma once
// People's names: a booked patient's name in its parts, a name as a screen
// shows it, and whether the two can be the same person.

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// Lower case without accents, the letters that do not decompose spelt out
// (ø o, æ ae, ß ss, ł l, ...): what names are compared in.
QString foldName(const QString &text);

// The letters and digits of a folded word, run together ("o'connor," gives
// "oconnor").
QString alphanumeric(const QString &folded);

// A booked patient's name: given names (the first one first, then middle
// names), last name words (particles included: "van", "der", "berg") and a
// suffix ("jr"), each folded.
struct BookedName {
    QStringList given;
    QStringList surname;
    QString suffix;
};

// The ways an entry's name divides: "first_name" and "last_name" when
// present, else "Last, First", else every division of "name" into given
// names and a last name of one or more words.
QList<BookedName> bookedNames(const QVariantMap &patient);

// A name as read on screen: its words in order without titles or
// suffixes, each folded (`parts`) and as the engine read them (`raw`,
// folded, misreadings kept: "sofla", "n00r", "fran(ois").
struct ReadName {
    QStringList parts;
    QStringList raw;
    // Words before the comma that marks the last name ("SMITH, JOHN": 1;
    // also a last name shown in a field of its own, "Nom:" before
    // "Prénom:"); -1 when nothing marks it.
    int surnameWords = -1;
    // Of a name without a comma, the words all in capitals while others
    // are not ("DUPONT Marie", "noor HADDAD"): the last name; -1 when the
    // case tells nothing.
    int capitalsFrom = -1;
    int capitalsTo = -1;
    QString suffix;
    QString asRead; // the words as shown, titles and suffixes included
    bool empty() const { return parts.isEmpty(); }
};

// How a name on screen stands to a booked name.
enum class NameAgreement {
    None,           // another person's name
    Contradicts,    // the same last name and first name, but a middle name or suffix differs
    NeedsBirthDate, // could be them, only with their date of birth beside it: part of a last
                    // name of several words, an initial for the first name, the order of a
                    // name without a comma reversed, words run together, the engine's misreadings
    Agrees,         // every part on screen is theirs: first name, last name, middle names
                    // or initials that their entry has or does not name, suffix
};

NameAgreement compareName(const ReadName &shown, const BookedName &booked);
NameAgreement compareName(const ReadName &shown, const QList<BookedName> &booked);

// Whether the screen's letters `shown` are `name` misread the engine's usual
// ways: rn for m, ii for u (ü), vv for w, cl for d, ( for c (ç), fi for n
// (ñ), l, i, 1, | and ! for one another, 0 for o, c and e for one another,
// and any other digit for a letter (an accented one, mostly); and up to
// `slips` letters dropped (an accented one) or added (an apostrophe read as
// o, i or l).
bool misreadAs(QStringView shown, QStringView name, int slips = 1);
