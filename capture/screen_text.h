#pragma once
// The text of a window as it was read: the plain text, and each word with
// where it stands (box, text block, line). The words come from text
// recognition (the engine's words, with how sure it was), from the page
// itself (the accessibility tree the window's program publishes: the exact
// text, with each word's element and that element's role), or from both
// (the tree, and recognition where the tree has no text: a canvas, an
// image, a remote desktop).
//
// Lines and blocks are formed alike for every source: the words on one
// visual row make one line; separate panels and columns are separate
// blocks; reading order is block by block, top to bottom. So whatever reads
// the words works on either source unchanged, and the tree's elements add
// structure on top.

#include "platform/accessibility/accessibility_reader.h"

#include <QList>
#include <QRect>
#include <QString>
#include <QStringView>

enum class TextSource {
    Recognised,        // text recognition only
    Page,              // the page's own text (accessibility tree) only
    PageAndRecognised, // the page's text, and recognition where it had none
};
// What the card and `kelvra-capture match` say: "text recognised", "text
// from the page", "text from the page and recognised".
QString textSourceText(TextSource source);

struct ScreenWord {
    QString text;
    // In pixels of the image that was read; null when the word comes from
    // plain text and its place is not known.
    QRect box;
    int block = 0; // a block of text (a column, a panel, a paragraph)
    int line = 0;  // counted over the whole image, in reading order
    // The engine's confidence, 0 to 100; -1 when not known; 100 for a word
    // of the page's own text.
    float confidence = -1;
    // The element of the page the word belongs to (an index into
    // ScreenText::elements); -1 for a recognised word.
    int element = -1;
};

// An element of the page's accessibility tree that words stand in, or that
// stands around them. Its `parent` and labels are indices into
// ScreenText::elements, its box is in pixels of the image read, like the
// words' boxes. Landmarks, headings, tables, lists and list items, labels
// and fields are parents where they hold the element; a landmark's kind is
// "banner" for the page's header (a record's patient banner); a label
// ("Date of birth") labels the field that shows the date.
struct ScreenElement : AccessibleStructure {
    // Table cells: the text of the column's header, where the table has
    // one above the cell ("DOB" over a column of dates); empty otherwise.
    QString columnHeader;
};

struct ScreenText {
    // The text: words separated by single spaces, lines by line feeds,
    // blocks by an empty line.
    QString text;
    // The words in reading order; lines and blocks numbered from 0.
    QList<ScreenWord> words;
    // Height of the image read, in pixels; 0 when the words have no boxes.
    int imageHeight = 0;
    // The rows of the top band when it was read on its own first; 0 otherwise.
    int topBandBottom = 0;
    // Where the words come from.
    TextSource source = TextSource::Recognised;
    // The page's elements the words stand in and their parents, parents
    // first; empty for recognised text.
    QList<ScreenElement> elements;

    bool hasBoxes() const { return imageHeight > 0; }

    // Words from plain text: a line per line feed, a new block after each
    // blank line, no boxes.
    static ScreenText fromText(const QString &text);

    // The page's structure around word `word` (an index into `words`):
    // the nearest element with `role`, the word's own element first; -1
    // when there is none (and for recognised words).
    int enclosing(qsizetype word, AccessibleRole role) const;
    // Whether word `word` stands in a landmark of that kind ("banner").
    bool inLandmark(qsizetype word, QStringView landmark) const;
    // The level of the heading word `word` is part of; 0 when none.
    int headingLevel(qsizetype word) const;
};

// Lines, blocks and the text for words that have boxes, formed as
// recognition forms them: `words` in any order (block and line are
// ignored); the result keeps everything else of `base` (source, elements,
// image height).
ScreenText laidOutScreenText(QList<ScreenWord> words, ScreenText base);
