#pragma once
// The text of a window as the engine read it: the plain text, and each word
// with where it stands (box, text block, line) and how sure the engine was.

#include <QList>
#include <QRect>
#include <QString>

struct ScreenWord {
    QString text;
    // In pixels of the image that was read; null when the word comes from
    // plain text and its place is not known.
    QRect box;
    int block = 0; // a block of text (a column, a panel, a paragraph)
    int line = 0;  // counted over the whole image, in reading order
    // The engine's confidence, 0 to 100; -1 when not known.
    float confidence = -1;
};

struct ScreenText {
    // The engine's text: words separated by single spaces, lines by line feeds.
    QString text;
    // The words in reading order; lines and blocks numbered from 0.
    QList<ScreenWord> words;
    // Height of the image read, in pixels; 0 when the words have no boxes.
    int imageHeight = 0;
    // The rows of the top band when it was read on its own first; 0 otherwise.
    int topBandBottom = 0;

    bool hasBoxes() const { return imageHeight > 0; }

    // Words from plain text: a line per line feed, a new block after each
    // blank line, no boxes.
    static ScreenText fromText(const QString &text);
};
