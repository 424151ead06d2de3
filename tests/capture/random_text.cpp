#include "random_text.h"

namespace {

const QStringList &firstNames() {
    static const QStringList names = {
        "John",  "Jane",   "Mary",     "José",   "Zoë",    "Ana",   "Björn",  "François", "Chloé",  "Ingrid",
        "Peter", "Miguel", "Siobhán",  "Łukasz", "Dmitri", "Aisha", "Núria",  "Olga",     "Ørjan",  "Renée",
        "Sven",  "Marta",  "Jean-Luc", "Noël",   "Ali",    "Emily", "Sophie", "Tomás",    "Hélène", "Günter"};
    return names;
}

const QStringList &lastNames() {
    static const QStringList names = {
        "Smith",       "Doe",      "García",  "Müller",       "O'Brien",   "Nguyễn",   "Kowalski",
        "Søndergaard", "Dubois",   "Brown",   "Jones",        "Fernández", "Öztürk",   "Smyth",
        "Weiß",        "Ångström", "Lefèvre", "Papadopoulos", "Van Dyk",   "McDonald", "Ivanova",
        "Çelik",       "Novák",    "Rossi",   "Kim",          "Okafor",    "Lindqvist"};
    return names;
}

const QStringList &labels() {
    static const QStringList words = {
        "Patient:",   "DOB:",   "MRN:",      "Visit",   "Room",      "Provider:", "Allergies:", "NKDA",
        "Chart",      "Notes",  "Vitals",    "BP",      "120/80",    "HR",        "72",         "Temp",
        "98.6",       "Exam",   "-",         "|",       "Encounter", "(F)",       "(M)",        "Age:",
        "Insurance:", "Plan",   "Follow-up", "History", "Summary",   "Dr.",       "Rx",         "Medication",
        "mg",         "Signed", "",          "#4521"};
    return words;
}

} // namespace

QString RandomText::character() {
    static const QStringList pool = {
        // ASCII letters are the bulk.
        "a", "b", "c", "e", "h", "i", "j", "m", "n", "o", "r", "s", "t", "A", "B", "J", "M", "S", "D", "O",
        // Spaces, line feeds, digits, punctuation.
        " ", " ", " ", "\n", "0", "1", "9", ",", ".", "-", "'", "/", ":", "_", "(", "\t",
        // Accented letters, precomposed and decomposed, and bare combining marks.
        "é", "É", "ñ", "ö", "Ö", "ç", "å", "Å", "ễ", "e\u0301", "O\u0308", "\u0301", "\u0323",
        // Letters with unusual case forms: sharp s (upper "SS"), long s, title-case dz,
        // dotted capital I, the ligature fi (upper "FI"), n preceded by apostrophe.
        "ß", "ẞ", "ſ", "ǅ", "ǆ", "Ǆ", "İ", "ı", "ﬁ", "ŉ", "Σ", "σ", "ς", "Д", "д",
        // A letter outside the BMP (a surrogate pair), a lone surrogate, other symbols.
        "\U0001D400", "\U0001D41A", QString(QChar(0xD800)), "€", "½", "ª", "Ⅻ", "ǈ"};
    return pick(pool);
}

QString RandomText::string(int maxLength) {
    QString s;
    const int length = number(0, maxLength);
    for (int i = 0; i < length; ++i)
        s += character();
    return s;
}

QString RandomText::word() {
    switch (number(0, 9)) {
    case 0:
    case 1:
        return pick(firstNames());
    case 2:
    case 3:
        return chance(0.5) ? pick(lastNames()) : pick(lastNames()) + ",";
    case 4:
        return QStringLiteral("%1/%2/%3")
            .arg(number(1, 12), 2, 10, QChar('0'))
            .arg(number(1, 28))
            .arg(number(1930, 2020));
    case 5:
        return string(6);
    default:
        return pick(labels());
    }
}

QString RandomText::name() {
    QString n = pick(firstNames()) + " " + pick(lastNames());
    if (chance(0.1))
        n = pick(firstNames()) + " " + pick(firstNames()) + " " + pick(lastNames());
    return n;
}

QString RandomText::windowText(int count) {
    QString text;
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            text += chance(0.02) ? "  " : " ";
        text += word();
        if (chance(0.08))
            text += "\n" + word();
    }
    return text;
}

QString RandomText::patternFrom(const QString &searched) {
    QString pattern;
    for (QChar c : searched) {
        if (chance(0.5))
            continue;
        if (chance(0.2))
            c = chance(0.5) ? c.toUpper() : c.toLower();
        pattern += c;
        if (chance(0.1))
            pattern += character();
    }
    return pattern;
}
