#include "capture/screen_text.h"

#include <QRegularExpression>

ScreenText ScreenText::fromText(const QString &text) {
    ScreenText screen;
    screen.text = text;
    static const QRegularExpression space(QStringLiteral("\\s+"));
    int line = 0, block = 0;
    bool blockHasWords = false;
    for (const QString &row : text.split(QLatin1Char('\n'))) {
        const QStringList words = row.split(space, Qt::SkipEmptyParts);
        if (words.isEmpty()) {
            if (blockHasWords)
                ++block;
            blockHasWords = false;
            continue;
        }
        for (const QString &word : words)
            screen.words.append({word, QRect(), block, line, -1});
        blockHasWords = true;
        ++line;
    }
    return screen;
}
