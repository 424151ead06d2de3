// The accessibility reader over libatspi. libatspi keeps one process-wide
// connection to the accessibility bus and is not thread-safe: every call
// into it is made on the reader's one thread, whose own GLib main context
// carries the connection (so that the Qt main thread's GLib loop never
// dispatches its messages).
#include <atspi/atspi.h>

#include "platform/accessibility/accessibility_reader.h"

#include <QHash>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCallTimeoutMs = 5000;

template <typename T> struct Unref {
    void operator()(T *p) const {
        if (p)
            g_object_unref(p);
    }
};
template <typename T> using Ref = std::unique_ptr<T, Unref<T>>;

void dropError(GError **error) {
    if (*error)
        g_clear_error(error);
}

AccessibleRole roleOf(AtspiRole role) {
    switch (role) {
    case ATSPI_ROLE_FRAME:
    case ATSPI_ROLE_WINDOW:
    case ATSPI_ROLE_DIALOG:
    case ATSPI_ROLE_ALERT:
        return AccessibleRole::Window;
    case ATSPI_ROLE_DOCUMENT_WEB:
    case ATSPI_ROLE_DOCUMENT_FRAME:
    case ATSPI_ROLE_DOCUMENT_TEXT:
    case ATSPI_ROLE_DOCUMENT_EMAIL:
    case ATSPI_ROLE_DOCUMENT_SPREADSHEET:
    case ATSPI_ROLE_DOCUMENT_PRESENTATION:
        return AccessibleRole::Document;
    case ATSPI_ROLE_SECTION:
    case ATSPI_ROLE_PANEL:
    case ATSPI_ROLE_FILLER:
    case ATSPI_ROLE_GROUPING:
    case ATSPI_ROLE_FORM:
    case ATSPI_ROLE_ARTICLE:
    case ATSPI_ROLE_BLOCK_QUOTE:
    case ATSPI_ROLE_SCROLL_PANE:
    case ATSPI_ROLE_VIEWPORT:
    case ATSPI_ROLE_SPLIT_PANE:
    case ATSPI_ROLE_PAGE_TAB_LIST:
    case ATSPI_ROLE_PAGE:
    case ATSPI_ROLE_TOOL_BAR:
    case ATSPI_ROLE_STATUS_BAR:
    case ATSPI_ROLE_INTERNAL_FRAME:
    case ATSPI_ROLE_ROOT_PANE:
    case ATSPI_ROLE_LAYERED_PANE:
    case ATSPI_ROLE_DESCRIPTION_LIST:
    case ATSPI_ROLE_FOOTER:
        return AccessibleRole::Section;
    case ATSPI_ROLE_PARAGRAPH:
        return AccessibleRole::Paragraph;
    case ATSPI_ROLE_STATIC:
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_CAPTION:
    case ATSPI_ROLE_DESCRIPTION_TERM:
    case ATSPI_ROLE_DESCRIPTION_VALUE:
    case ATSPI_ROLE_ACCELERATOR_LABEL:
        return AccessibleRole::Text;
    case ATSPI_ROLE_HEADING:
        return AccessibleRole::Heading;
    case ATSPI_ROLE_LANDMARK:
    case ATSPI_ROLE_HEADER:
        return AccessibleRole::Landmark;
    case ATSPI_ROLE_LABEL:
        return AccessibleRole::Label;
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_PASSWORD_TEXT:
    case ATSPI_ROLE_SPIN_BUTTON:
    case ATSPI_ROLE_DATE_EDITOR:
    case ATSPI_ROLE_COMBO_BOX:
        return AccessibleRole::Field;
    case ATSPI_ROLE_TABLE:
    case ATSPI_ROLE_TREE_TABLE:
    case ATSPI_ROLE_TREE:
        return AccessibleRole::Table;
    case ATSPI_ROLE_TABLE_ROW:
        return AccessibleRole::TableRow;
    case ATSPI_ROLE_TABLE_CELL:
    case ATSPI_ROLE_TREE_ITEM:
        return AccessibleRole::TableCell;
    case ATSPI_ROLE_COLUMN_HEADER:
    case ATSPI_ROLE_TABLE_COLUMN_HEADER:
        return AccessibleRole::ColumnHeader;
    case ATSPI_ROLE_ROW_HEADER:
    case ATSPI_ROLE_TABLE_ROW_HEADER:
        return AccessibleRole::RowHeader;
    case ATSPI_ROLE_LIST:
    case ATSPI_ROLE_LIST_BOX:
        return AccessibleRole::List;
    case ATSPI_ROLE_LIST_ITEM:
        return AccessibleRole::ListItem;
    case ATSPI_ROLE_LINK:
        return AccessibleRole::Link;
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_TOGGLE_BUTTON:
    case ATSPI_ROLE_CHECK_BOX:
    case ATSPI_ROLE_RADIO_BUTTON:
        return AccessibleRole::Button;
    case ATSPI_ROLE_PAGE_TAB:
        return AccessibleRole::PageTab;
    case ATSPI_ROLE_IMAGE:
    case ATSPI_ROLE_ICON:
    case ATSPI_ROLE_ANIMATION:
    case ATSPI_ROLE_VIDEO:
    case ATSPI_ROLE_CHART:
        return AccessibleRole::Image;
    case ATSPI_ROLE_CANVAS:
    case ATSPI_ROLE_DRAWING_AREA:
        return AccessibleRole::Canvas;
    case ATSPI_ROLE_EMBEDDED:
        return AccessibleRole::Embedded;
    case ATSPI_ROLE_TERMINAL:
        return AccessibleRole::Terminal;
    default:
        return AccessibleRole::Other;
    }
}

// Elements whose name is the text they draw, where they have no text
// interface (a label of a toolkit that publishes only names).
bool drawsItsName(AccessibleRole role) {
    switch (role) {
    case AccessibleRole::Text:
    case AccessibleRole::Label:
    case AccessibleRole::Heading:
    case AccessibleRole::TableCell:
    case AccessibleRole::ColumnHeader:
    case AccessibleRole::RowHeader:
    case AccessibleRole::ListItem:
    case AccessibleRole::PageTab:
        return true;
    default:
        return false;
    }
}

bool isSeparator(char32_t c) {
    // White space, the object replacement character (a child's place in its
    // parent's text) and the no-break spaces.
    return c == U'\uFFFC' || c == U'\u00A0' || c == U'\u202F' || c == U'\u2007' || QChar::isSpace(c);
}

// A word worth reading: letters or digits, or punctuation that tells how
// words go together (the colon after a label, the comma after a last name,
// a separator between a banner's parts).
bool isWord(const QString &word) {
    for (const QChar c : word)
        if (c.isLetterOrNumber())
            return true;
    static const QStringList marks = {QStringLiteral(":"),      QStringLiteral(","),
                                      QStringLiteral("|"),      QStringLiteral("/"),
                                      QStringLiteral("-"),      QStringLiteral("\u2013"),
                                      QStringLiteral("\u2014"), QStringLiteral("\u00b7"),
                                      QStringLiteral("\u2022"), QStringLiteral(";")};
    return marks.contains(word);
}

// Words of `text` with their code point ranges (AT-SPI counts characters).
struct WordRange {
    QString text;
    int start = 0;
    int end = 0;
};
QList<WordRange> splitWords(const QString &text) {
    QList<WordRange> words;
    const QList<uint> points = text.toUcs4();
    int start = -1;
    for (int i = 0; i <= int(points.size()); ++i) {
        const bool separator = i == int(points.size()) || isSeparator(char32_t(points[i]));
        if (!separator && start < 0)
            start = i;
        if (separator && start >= 0) {
            const QString word =
                QString::fromUcs4(reinterpret_cast<const char32_t *>(points.constData() + start), i - start);
            if (isWord(word))
                words.append({word, start, i});
            start = -1;
        }
    }
    return words;
}

// Boxes for words on one line of `box`, in proportion to their characters.
QList<AccessibleWord> spreadOver(const QList<WordRange> &words, int characters, const QRect &box) {
    QList<AccessibleWord> result;
    for (const WordRange &w : words) {
        QRect b;
        if (!box.isEmpty() && characters > 0) {
            const int left = box.left() + int(qint64(box.width()) * w.start / characters);
            const int right = box.left() + int(qint64(box.width()) * w.end / characters);
            b = QRect(left, box.top(), std::max(1, right - left), box.height());
        }
        result.append({w.text, b});
    }
    return result;
}

QRect rectOf(AtspiRect *r) {
    if (!r)
        return QRect();
    const QRect rect(r->x, r->y, r->width, r->height);
    g_free(r);
    return rect;
}

struct Walk {
    Clock::time_point deadline;
    int elementBudget = 0;
    QRect area;
    AtspiCoordType coordinates = ATSPI_COORD_TYPE_SCREEN;
    QPoint offset; // added to every position (window-relative coordinates)
    AccessibleWindow *out = nullptr;
    QHash<AtspiAccessible *, int> indexOf;
    struct Pending {
        int element;
        QList<AtspiAccessible *> labelFor, labelledBy; // held references
    };
    QList<Pending> relations;
    bool spent = false;

    ~Walk() {
        for (const Pending &p : relations) {
            for (AtspiAccessible *a : p.labelFor)
                g_object_unref(a);
            for (AtspiAccessible *a : p.labelledBy)
                g_object_unref(a);
        }
    }

    bool budgetLeft() {
        if (spent)
            return false;
        if (out->elementsVisited >= elementBudget || Clock::now() >= deadline)
            spent = true;
        return !spent;
    }

    QRect place(QRect r) const { return r.isEmpty() ? QRect() : r.translated(offset); }

    QRect extentsOf(AtspiAccessible *object) {
        Ref<AtspiComponent> component(atspi_accessible_get_component_iface(object));
        if (!component)
            return QRect();
        GError *error = nullptr;
        const QRect r = rectOf(atspi_component_get_extents(component.get(), coordinates, &error));
        dropError(&error);
        return place(r);
    }

    static bool showing(AtspiAccessible *object) {
        AtspiStateSet *states = atspi_accessible_get_state_set(object);
        if (!states)
            return false;
        const bool shown = atspi_state_set_contains(states, ATSPI_STATE_SHOWING);
        g_object_unref(states);
        return shown;
    }

    QString attribute(AtspiAccessible *object, const char *key) {
        GError *error = nullptr;
        GHashTable *attributes = atspi_accessible_get_attributes(object, &error);
        dropError(&error);
        if (!attributes)
            return QString();
        const auto *value = static_cast<const char *>(g_hash_table_lookup(attributes, key));
        const QString result = value ? QString::fromUtf8(value) : QString();
        g_hash_table_unref(attributes);
        return result;
    }

    void readRelations(AtspiAccessible *object, int element) {
        GError *error = nullptr;
        GArray *set = atspi_accessible_get_relation_set(object, &error);
        dropError(&error);
        if (!set)
            return;
        Pending pending{element, {}, {}};
        for (guint i = 0; i < set->len; ++i) {
            AtspiRelation *relation = g_array_index(set, AtspiRelation *, i);
            const AtspiRelationType type = atspi_relation_get_relation_type(relation);
            if (type == ATSPI_RELATION_LABEL_FOR || type == ATSPI_RELATION_LABELLED_BY) {
                for (gint t = 0; t < atspi_relation_get_n_targets(relation); ++t) {
                    if (AtspiAccessible *target = atspi_relation_get_target(relation, t))
                        (type == ATSPI_RELATION_LABEL_FOR ? pending.labelFor : pending.labelledBy)
                            .append(target);
                }
            }
            g_object_unref(relation);
        }
        g_array_free(set, TRUE);
        if (!pending.labelFor.isEmpty() || !pending.labelledBy.isEmpty())
            relations.append(pending);
    }

    // The words the element draws, with their boxes.
    QList<AccessibleWord> wordsOf(AtspiAccessible *object, AccessibleRole role, const QRect &box,
                                  bool *estimated) {
        GError *error = nullptr;
        if (Ref<AtspiText> text{atspi_accessible_get_text_iface(object)}) {
            const gint count = atspi_text_get_character_count(text.get(), &error);
            dropError(&error);
            if (count <= 0)
                return {};
            gchar *raw = atspi_text_get_text(text.get(), 0, count, &error);
            dropError(&error);
            const QString all = QString::fromUtf8(raw ? raw : "");
            g_free(raw);
            const QList<WordRange> ranges = splitWords(all);
            if (ranges.isEmpty())
                return {};
            // Text on one line (the element no taller than two of its first
            // word's characters): its words share out the element's box, one
            // call instead of one per word. Paragraphs that wrap are asked
            // word by word.
            const QRect first = place(rectOf(
                atspi_text_get_character_extents(text.get(), ranges.first().start, coordinates, &error)));
            dropError(&error);
            if (!box.isEmpty() && first.height() > 0 && box.height() < 2 * first.height()) {
                *estimated = true;
                return spreadOver(ranges, int(all.toUcs4().size()), box);
            }
            QList<AccessibleWord> words;
            for (const WordRange &w : ranges) {
                if (!budgetLeft())
                    break;
                QRect r = place(
                    rectOf(atspi_text_get_range_extents(text.get(), w.start, w.end, coordinates, &error)));
                dropError(&error);
                words.append({w.text, r});
            }
            // A program that tells no boxes for its characters: the words
            // share the element's box.
            if (std::all_of(words.cbegin(), words.cend(),
                            [](const AccessibleWord &w) { return w.box.isEmpty(); })) {
                *estimated = true;
                return spreadOver(splitWords(all), int(all.toUcs4().size()), box);
            }
            return words;
        }
        if (!drawsItsName(role))
            return {};
        gchar *raw = atspi_accessible_get_name(object, &error);
        dropError(&error);
        const QString name = QString::fromUtf8(raw ? raw : "");
        g_free(raw);
        *estimated = true;
        return spreadOver(splitWords(name), int(name.toUcs4().size()), box);
    }

    // Reads `object` and what lies under it; `box` and `role` already known
    // for the window itself.
    void visit(AtspiAccessible *object, int parent, int depth) {
        if (!budgetLeft() || depth > 64)
            return;
        ++out->elementsVisited;
        GError *error = nullptr;
        const QRect box = extentsOf(object);
        // What lies outside the area is not read, nor what is not drawn at
        // all (no extents: hidden panels, collapsed menus).
        if (parent >= 0 && !box.intersects(area))
            return;
        const AtspiRole atspiRole = atspi_accessible_get_role(object, &error);
        dropError(&error);
        const AccessibleRole role = roleOf(atspiRole);
        // A document that is not shown (a browser's background tab).
        if (role == AccessibleRole::Document && !showing(object))
            return;
        const gint children = atspi_accessible_get_child_count(object, &error);
        dropError(&error);
        const int index = add(object, atspiRole, box, parent, children <= 0);
        for (gint i = 0; i < children && budgetLeft(); ++i) {
            Ref<AtspiAccessible> child(atspi_accessible_get_child_at_index(object, i, &error));
            dropError(&error);
            if (child)
                visit(child.get(), index, depth + 1);
        }
    }

    // Adds `object` to the elements: its structure, and its words when it
    // is a leaf of the tree. Returns its index.
    int add(AtspiAccessible *object, AtspiRole atspiRole, const QRect &box, int parent, bool leaf) {
        const AccessibleRole role = roleOf(atspiRole);
        AccessibleElement element;
        element.role = role;
        element.parent = parent;
        element.box = box;
        if (role == AccessibleRole::Heading) {
            element.headingLevel = attribute(object, "level").toInt();
            if (element.headingLevel <= 0)
                element.headingLevel = 1;
        } else if (role == AccessibleRole::Landmark) {
            element.landmark = attribute(object, "xml-roles");
            if (element.landmark.isEmpty() && atspiRole == ATSPI_ROLE_HEADER)
                element.landmark = QStringLiteral("banner");
        }
        // Buttons are left out: their text is often a name for an icon.
        if (leaf && role != AccessibleRole::Image && role != AccessibleRole::Canvas &&
            role != AccessibleRole::Embedded && role != AccessibleRole::Button) {
            element.words = wordsOf(object, role, box, &element.wordBoxesEstimated);
            // Words outside the area are not read.
            element.words.removeIf(
                [this](const AccessibleWord &w) { return !w.box.isEmpty() && !w.box.intersects(area); });
        }
        const int index = int(out->elements.size());
        out->elements.append(element);
        indexOf.insert(object, index);
        if (role == AccessibleRole::Label || role == AccessibleRole::Field)
            readRelations(object, index);
        return index;
    }

    // The fast way, for programs that answer for a whole subtree at once
    // (the Collection interface: browsers, GTK): the shown elements with
    // text, and the shown elements that give structure, each asked for in
    // one call; only their own properties are then asked one by one. The
    // parent of each is the smallest structural element around it.
    bool collect(AtspiAccessible *window, const QRect &windowBox) {
        Ref<AtspiCollection> collection(atspi_accessible_get_collection_iface(window));
        if (!collection)
            return false;
        const QList<AtspiAccessible *> texts = matches(collection.get(), {}, true);
        const QList<AtspiAccessible *> structure = matches(collection.get(), structuralRoles(), false);
        if (texts.isEmpty() && structure.isEmpty()) {
            return false;
        }
        AccessibleElement windowElement;
        windowElement.role = AccessibleRole::Window;
        windowElement.box = windowBox;
        out->elements.append(windowElement);
        indexOf.insert(window, 0);
        QList<int> containers;
        for (const bool structural : {true, false}) {
            for (AtspiAccessible *object : structural ? structure : texts) {
                if (indexOf.contains(object) || !budgetLeft())
                    continue;
                ++out->elementsVisited;
                const QRect box = extentsOf(object);
                if (!box.intersects(area))
                    continue;
                GError *error = nullptr;
                const AtspiRole atspiRole = atspi_accessible_get_role(object, &error);
                dropError(&error);
                // Only leaves speak for themselves: a container's text
                // repeats its children's.
                bool leaf = atspiRole == ATSPI_ROLE_STATIC;
                if (!leaf && (!structural || mayBeTextLeaf(roleOf(atspiRole)))) {
                    leaf = atspi_accessible_get_child_count(object, &error) <= 0;
                    dropError(&error);
                }
                const int index = add(object, atspiRole, box, 0, leaf);
                if (structural)
                    containers.append(index);
            }
        }
        for (AtspiAccessible *object : texts)
            g_object_unref(object);
        for (AtspiAccessible *object : structure)
            g_object_unref(object);
        // Parents by place: the smallest structural element around.
        for (int i = 1; i < int(out->elements.size()); ++i) {
            AccessibleElement &e = out->elements[i];
            qint64 smallest = -1;
            for (const int c : containers) {
                const QRect &box = out->elements[c].box;
                if (c == i || !box.adjusted(-1, -1, 1, 1).contains(e.box))
                    continue;
                const qint64 size = qint64(box.width()) * box.height();
                // Of two alike (a heading and its text), the earlier holds.
                if (size == qint64(e.box.width()) * e.box.height() && c > i)
                    continue;
                if (smallest < 0 || size <= smallest) {
                    smallest = size;
                    e.parent = c;
                }
            }
        }
        return true;
    }

    static bool mayBeTextLeaf(AccessibleRole role) {
        return drawsItsName(role) || role == AccessibleRole::Field;
    }

    static QList<AtspiRole> structuralRoles() {
        return {ATSPI_ROLE_LANDMARK,       ATSPI_ROLE_HEADER,
                ATSPI_ROLE_HEADING,        ATSPI_ROLE_TABLE,
                ATSPI_ROLE_TABLE_ROW,      ATSPI_ROLE_TABLE_CELL,
                ATSPI_ROLE_COLUMN_HEADER,  ATSPI_ROLE_TABLE_COLUMN_HEADER,
                ATSPI_ROLE_ROW_HEADER,     ATSPI_ROLE_TABLE_ROW_HEADER,
                ATSPI_ROLE_LIST,           ATSPI_ROLE_LIST_ITEM,
                ATSPI_ROLE_LABEL,          ATSPI_ROLE_FORM,
                ATSPI_ROLE_IMAGE,          ATSPI_ROLE_CANVAS,
                ATSPI_ROLE_DRAWING_AREA,   ATSPI_ROLE_EMBEDDED,
                ATSPI_ROLE_TERMINAL,       ATSPI_ROLE_DOCUMENT_WEB,
                ATSPI_ROLE_DOCUMENT_FRAME, ATSPI_ROLE_PARAGRAPH,
                ATSPI_ROLE_ENTRY};
    }

    // The shown elements under the collection's object with the text
    // interface (`withText`), or of one of `roles`, in document order.
    QList<AtspiAccessible *> matches(AtspiCollection *collection, const QList<AtspiRole> &roles,
                                     bool withText) {
        AtspiStateSet *states = atspi_state_set_new(nullptr);
        atspi_state_set_add(states, ATSPI_STATE_SHOWING);
        GArray *roleArray = g_array_new(FALSE, FALSE, sizeof(AtspiRole));
        for (AtspiRole r : roles)
            g_array_append_val(roleArray, r);
        GArray *interfaces = g_array_new(FALSE, FALSE, sizeof(gchar *));
        const gchar *text = "Text";
        if (withText)
            g_array_append_val(interfaces, text);
        AtspiMatchRule *rule = atspi_match_rule_new(
            states, ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL, roleArray,
            roles.isEmpty() ? ATSPI_Collection_MATCH_ALL : ATSPI_Collection_MATCH_ANY, interfaces,
            ATSPI_Collection_MATCH_ALL, FALSE);
        GError *error = nullptr;
        GArray *found = atspi_collection_get_matches(collection, rule, ATSPI_Collection_SORT_ORDER_CANONICAL,
                                                     elementBudget, TRUE, &error);
        dropError(&error);
        g_object_unref(rule);
        g_object_unref(states);
        g_array_free(roleArray, TRUE);
        g_array_free(interfaces, TRUE);
        QList<AtspiAccessible *> result;
        if (!found)
            return result;
        for (guint i = 0; i < found->len; ++i)
            result.append(g_array_index(found, AtspiAccessible *, i));
        g_array_free(found, TRUE);
        return result;
    }

    void resolveRelations() {
        for (const Pending &p : relations) {
            for (AtspiAccessible *a : p.labelFor)
                if (const int target = indexOf.value(a, -1); target >= 0)
                    out->elements[p.element].labelFor.append(target);
            for (AtspiAccessible *a : p.labelledBy)
                if (const int target = indexOf.value(a, -1); target >= 0)
                    out->elements[p.element].labelledBy.append(target);
        }
    }
};

class AtspiReader final : public AccessibilityReader {
public:
    AtspiReader() : m_thread([this] { run(); }) {}
    ~AtspiReader() override {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

    std::shared_future<AccessibleWindow> read(const AccessibleWindowRequest &request) override {
        std::promise<AccessibleWindow> promise;
        std::shared_future<AccessibleWindow> future = promise.get_future().share();
        std::unique_lock lock(m_mutex);
        if (m_working || !m_queue.empty()) {
            AccessibleWindow busy;
            busy.status = AccessibleWindow::Status::Busy;
            promise.set_value(std::move(busy));
            return future;
        }
        m_queue.push_back({request, std::move(promise)});
        lock.unlock();
        m_changed.notify_all();
        return future;
    }

private:
    struct Job {
        AccessibleWindowRequest request;
        std::promise<AccessibleWindow> promise;
    };

    void run() {
        GMainContext *context = g_main_context_new();
        g_main_context_push_thread_default(context);
        bool connected = false;
        auto connect = [&] {
            // No accessibility bus (no session bus at all, say): nothing
            // to read, and the library must not be handed a connection
            // that is not there (libdbus aborts on it).
            if (!atspi_get_a11y_bus())
                return;
            // The library's connection is dispatched on this thread's
            // context only, never on the default one that the Qt main
            // loop runs.
            atspi_set_main_context(context);
            connected = atspi_init() <= 1 && atspi_get_a11y_bus() != nullptr;
        };
        connect();
        if (connected)
            warmUp();
        for (;;) {
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_stopping)
                break;
            Job job = std::move(m_queue.front());
            m_queue.pop_front();
            m_working = true;
            lock.unlock();
            // Signals that arrived meanwhile (programs started or gone).
            for (int i = 0; i < 1000 && g_main_context_iteration(context, FALSE); ++i) {
            }
            // A desktop whose accessibility bus came up after the start.
            if (!connected)
                connect();
            AccessibleWindow result;
            if (connected)
                result = readWindow(job.request);
            lock.lock();
            m_working = false;
            lock.unlock();
            job.promise.set_value(std::move(result));
        }
        // The library stays initialised for the process (it cannot be
        // started afresh after atspi_exit()); a later reader attaches its
        // connection to its own thread again.
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
    }

    // The desktop's programs asked for once ahead of the first capture, so
    // that it does not pay for the library's first look at them.
    static void warmUp() {
        atspi_set_timeout(kCallTimeoutMs, kCallTimeoutMs);
        Ref<AtspiAccessible> desktop(atspi_get_desktop(0));
        if (!desktop)
            return;
        GError *error = nullptr;
        const gint apps = atspi_accessible_get_child_count(desktop.get(), &error);
        dropError(&error);
        for (gint i = 0; i < apps; ++i) {
            Ref<AtspiAccessible> app(atspi_accessible_get_child_at_index(desktop.get(), i, &error));
            dropError(&error);
            if (app)
                atspi_accessible_get_process_id(app.get(), &error);
            dropError(&error);
        }
    }

    static AccessibleWindow readWindow(const AccessibleWindowRequest &request) {
        const Clock::time_point start = Clock::now();
        AccessibleWindow result;
        result.status = AccessibleWindow::Status::NoApplication;
        // The library takes a program that leaves a call unanswered past
        // its timeout for hung, and never asks it again: the timeout is
        // long enough for a busy program to answer late. The capture waits
        // only for the budget, and reads by recognition meanwhile (this
        // reader is busy until the answer comes).
        atspi_set_timeout(kCallTimeoutMs, kCallTimeoutMs);
        if (request.pid <= 0)
            return result;
        Ref<AtspiAccessible> desktop(atspi_get_desktop(0));
        if (!desktop)
            return result;
        GError *error = nullptr;
        const gint apps = atspi_accessible_get_child_count(desktop.get(), &error);
        dropError(&error);
        Ref<AtspiAccessible> application;
        for (gint i = 0; i < apps && !application; ++i) {
            Ref<AtspiAccessible> app(atspi_accessible_get_child_at_index(desktop.get(), i, &error));
            dropError(&error);
            if (!app)
                continue;
            const guint pid = atspi_accessible_get_process_id(app.get(), &error);
            dropError(&error);
            if (qint64(pid) == request.pid)
                application = std::move(app);
        }
        if (!application)
            return finish(std::move(result), start);
        // Nothing from an earlier read is trusted (nor kept longer than this read).
        atspi_accessible_clear_cache(application.get());
        gchar *toolkit = atspi_accessible_get_toolkit_name(application.get(), &error);
        dropError(&error);
        result.toolkit = QString::fromUtf8(toolkit ? toolkit : "");
        g_free(toolkit);

        Walk walk;
        walk.deadline = start + std::chrono::milliseconds(request.timeBudgetMs);
        walk.elementBudget = request.elementBudget;
        walk.area = request.area.isEmpty() ? request.windowBounds : request.area;
        walk.out = &result;
        if (request.windowRelative) {
            walk.coordinates = ATSPI_COORD_TYPE_WINDOW;
            walk.offset = request.windowBounds.topLeft();
        }
        Ref<AtspiAccessible> window = pickWindow(application.get(), request, &walk);
        result.status = AccessibleWindow::Status::NoWindow;
        if (window) {
            result.status = AccessibleWindow::Status::Read;
            const QRect windowBox = walk.extentsOf(window.get());
            if (!walk.collect(window.get(), windowBox)) {
                result.elements.clear();
                walk.indexOf.clear();
                walk.visit(window.get(), -1, 0);
            }
            if (!result.elements.isEmpty()) {
                result.windowExtents = result.elements.first().box;
                result.elements.first().role = AccessibleRole::Window;
            }
            walk.resolveRelations();
            if (walk.spent)
                result.status = AccessibleWindow::Status::TooSlow;
        }
        atspi_accessible_clear_cache(application.get());
        return finish(std::move(result), start);
    }

    static AccessibleWindow finish(AccessibleWindow result, Clock::time_point start) {
        result.elapsedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        return result;
    }

    // The top-level window of `application` that stands where the window
    // on screen does (the most of its area inside the window's bounds); on
    // Wayland, where positions are not told, the one shown window of that
    // size.
    static Ref<AtspiAccessible> pickWindow(AtspiAccessible *application,
                                           const AccessibleWindowRequest &request, Walk *walk) {
        GError *error = nullptr;
        const gint count = atspi_accessible_get_child_count(application, &error);
        dropError(&error);
        Ref<AtspiAccessible> best;
        qint64 bestArea = 0;
        int sameSize = 0;
        for (gint i = 0; i < count && walk->budgetLeft(); ++i) {
            Ref<AtspiAccessible> candidate(atspi_accessible_get_child_at_index(application, i, &error));
            dropError(&error);
            if (!candidate || !Walk::showing(candidate.get()))
                continue;
            const QRect box = walk->extentsOf(candidate.get());
            if (box.isEmpty())
                continue;
            if (request.windowRelative) {
                const QSize size = request.windowBounds.size();
                if (std::abs(box.width() - size.width()) <= 64 &&
                    std::abs(box.height() - size.height()) <= 64) {
                    ++sameSize;
                    best = std::move(candidate);
                }
                continue;
            }
            const QRect inside = box.intersected(request.windowBounds);
            const qint64 area = qint64(inside.width()) * inside.height();
            // Most of the element lies inside the window: a popup of the same
            // program elsewhere on screen is not this window.
            if (area * 2 < qint64(box.width()) * box.height())
                continue;
            if (area > bestArea) {
                bestArea = area;
                best = std::move(candidate);
            }
        }
        if (request.windowRelative && sameSize != 1)
            return nullptr;
        return best;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Job> m_queue;
    bool m_working = false;
    bool m_stopping = false;
    std::thread m_thread;
};

class NullReader final : public AccessibilityReader {
public:
    std::shared_future<AccessibleWindow> read(const AccessibleWindowRequest &) override {
        std::promise<AccessibleWindow> promise;
        promise.set_value(AccessibleWindow{});
        return promise.get_future().share();
    }
};

} // namespace

bool AccessibleWindow::hasText() const {
    for (const AccessibleElement &e : elements)
        if (!e.words.isEmpty())
            return true;
    return false;
}

QString accessibleStatusText(AccessibleWindow::Status status) {
    switch (status) {
    case AccessibleWindow::Status::Read:
        return QStringLiteral("read");
    case AccessibleWindow::Status::Unavailable:
        return QStringLiteral("unavailable");
    case AccessibleWindow::Status::NoApplication:
        return QStringLiteral("no application");
    case AccessibleWindow::Status::NoWindow:
        return QStringLiteral("no window");
    case AccessibleWindow::Status::TooSlow:
        return QStringLiteral("too slow");
    case AccessibleWindow::Status::Busy:
        return QStringLiteral("busy");
    }
    return QString();
}

// The library is one per process: every reader made shares one thread
// that alone calls it, alive while any reader is.
class SharedAtspiReader final : public AccessibilityReader {
public:
    explicit SharedAtspiReader(std::shared_ptr<AtspiReader> reader) : m_reader(std::move(reader)) {}
    std::shared_future<AccessibleWindow> read(const AccessibleWindowRequest &request) override {
        return m_reader->read(request);
    }

private:
    std::shared_ptr<AtspiReader> m_reader;
};

std::unique_ptr<AccessibilityReader> makeAtspiReader() {
    static std::mutex mutex;
    static std::weak_ptr<AtspiReader> running;
    std::lock_guard lock(mutex);
    std::shared_ptr<AtspiReader> reader = running.lock();
    if (!reader) {
        reader = std::make_shared<AtspiReader>();
        running = reader;
    }
    return std::make_unique<SharedAtspiReader>(std::move(reader));
}
std::unique_ptr<AccessibilityReader> makeNullAccessibilityReader() {
    return std::make_unique<NullReader>();
}
