#pragma once
// The text a window's program publishes for assistive technologies (the
// accessibility tree of the desktop: AT-SPI on Linux), read for one window
// and one area of the screen.
//
// The reader finds the program by its process id, picks its top-level
// window whose extents match the window on screen, and walks the elements
// whose extents meet the area asked for. It returns the text elements
// (labels, paragraphs, headings, table cells, fields: only the text they
// draw) with each word's box, and the structural elements around them
// (landmarks such as the banner, headings, tables and their column headers,
// lists and list items, labels bound to fields). Nothing read is kept after
// the result is handed over, written anywhere or logged.
//
// Coordinates are the window server's: device pixels, origin at the top-left
// corner of the whole screen area.

#include <QList>
#include <QRect>
#include <QString>

#include <future>
#include <memory>
#include <optional>

// What an element is, as far as reading a record needs it.
enum class AccessibleRole {
    Other,
    Window,    // a top-level window (frame, dialog)
    Document,  // a web page or another document
    Section,   // a generic container (div, panel, group)
    Paragraph, // a paragraph of text
    Text,      // text drawn as it is (static text, a label without a target)
    Heading,   // with `headingLevel`
    Landmark,  // with `landmark`: "banner", "navigation", "main", ...
    Label,     // a label bound to a field (`labelFor`)
    Field,     // an entry or another editable or read-only field
    Table,
    TableRow,
    TableCell,
    ColumnHeader,
    RowHeader,
    List,
    ListItem,
    Link,
    Button,
    PageTab,  // a tab of a tabbed view (a browser tab shows its title)
    Image,    // pixels the tree has no text for
    Canvas,   // pixels drawn by the program itself: no text in the tree
    Embedded, // another program's content (a plug-in, a remote desktop)
    Terminal, // a terminal's screen
};

struct AccessibleWord {
    QString text;
    QRect box; // empty when the program tells no box for it
};

// Where an element stands in the tree and what it is.
struct AccessibleStructure {
    AccessibleRole role = AccessibleRole::Other;
    // Index of the parent in the element list; -1 for the window.
    int parent = -1;
    QRect box;
    // The heading's level (1 for the top heading); 0 when not a heading.
    int headingLevel = 0;
    // For landmarks: "banner", "navigation", "main", "complementary",
    // "contentinfo", "search", "form", "region"; may be empty.
    QString landmark;
    // The elements this one labels, and those that label it (indices; only
    // elements that were read).
    QList<int> labelFor;
    QList<int> labelledBy;
};

struct AccessibleElement : AccessibleStructure {
    // The element's own text, in its words (text elements only; containers
    // have none even where the program repeats their children's text).
    QList<AccessibleWord> words;
    // The words' boxes are the element's box shared out by their
    // characters (a program that tells no box for its characters).
    bool wordBoxesEstimated = false;
};

struct AccessibleWindowRequest {
    // The process that owns the window; 0 when the window server does not
    // tell (nothing is read then).
    qint64 pid = 0;
    // The window's bounds on screen, frame included.
    QRect windowBounds;
    // Only elements whose extents meet this area are read (the window under
    // the selection, or a part of it).
    QRect area;
    // Where the program's screen coordinates cannot be trusted (Wayland),
    // positions are taken relative to the window and placed at the top-left
    // corner of `windowBounds`.
    bool windowRelative = false;
    // Budgets: the walk stops when either is spent and reports TooSlow.
    int timeBudgetMs = 150;
    int elementBudget = 3000;
};

struct AccessibleWindow {
    enum class Status {
        Read,          // the window's tree was read
        Unavailable,   // no accessibility bus on this desktop, or reading is switched off
        NoApplication, // no program with that process id publishes a tree
        NoWindow,      // the program publishes no window at that place
        TooSlow,       // the time or element budget ran out
        Busy,          // an earlier read has not finished yet
    };
    Status status = Status::Unavailable;
    // The window's own extents as the program tells them (the area inside
    // the frame).
    QRect windowExtents;
    // The elements read, parents before children; element 0 is the window.
    QList<AccessibleElement> elements;
    // The program's toolkit as it names itself ("Chromium", "GTK", "Qt").
    QString toolkit;
    int elementsVisited = 0;
    qint64 elapsedMs = 0;

    bool hasText() const;
};

// "read", "unavailable", "no application", "no window", "too slow", "busy".
QString accessibleStatusText(AccessibleWindow::Status status);

class AccessibilityReader {
public:
    virtual ~AccessibilityReader() = default;

    // Starts reading the window on the reader's own thread and returns at
    // once. The result is ready within the time budget and a short margin
    // (a read still running then is reported TooSlow and its result
    // dropped). Any thread.
    virtual std::shared_future<AccessibleWindow> read(const AccessibleWindowRequest &request) = 0;
};

// The AT-SPI reader: libatspi on a thread of its own, with its own
// connection to the accessibility bus (the library is not thread-safe; no
// other thread of the process calls it, and readers made while one is alive
// share its thread). Connecting starts at once, in the background.
std::unique_ptr<AccessibilityReader> makeAtspiReader();

// A reader that reads nothing (reading switched off): every read is
// Unavailable at once.
std::unique_ptr<AccessibilityReader> makeNullAccessibilityReader();

// The desktop's accessibility switch (org.a11y.Status on the session bus):
// `IsEnabled` tells programs that an assistive technology listens, and many
// publish their tree only then. Each call asks the bus (any thread).
struct DesktopAccessibility {
    bool busPresent = false; // org.a11y.Bus answers
    bool enabled = false;    // IsEnabled
    bool screenReader = false;
};
DesktopAccessibility desktopAccessibility();
// Sets IsEnabled (true: programs started afterwards, and those that watch
// the switch, publish their tree). False when the bus refused.
bool setDesktopAccessibilityEnabled(bool enabled);

// How the application reads the page's text, from the managed setting
// "pageText" (platform/core/managed_settings.h):
//   "off"        never: text recognition alone;
//   "on"         (the default) from the tree of programs that publish one;
//   "switch-on"  the same, and the application sets the desktop's switch
//                (IsEnabled) at start, so that programs started afterwards
//                publish their tree.
enum class PageTextSetting { Off, On, SwitchOn };
PageTextSetting pageTextSetting();
inline const QString KcPageTextSettingsKey = QStringLiteral("pageText");

// The process's reader, made on first use (thread-safe) after the setting:
// the AT-SPI reader, or the null reader when switched off; with
// "switch-on", the desktop's switch is set then. Tests may install their
// own.
std::shared_ptr<AccessibilityReader> sharedAccessibilityReader();
void setSharedAccessibilityReader(std::shared_ptr<AccessibilityReader> reader);
