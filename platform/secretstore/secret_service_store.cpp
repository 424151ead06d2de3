#include "platform/secretstore/secret_service_store.h"

#include <libsecret/secret.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

const SecretSchema *schema() {
    static const SecretSchema s = {"com.brenmark.brkeychain.GenericPassword",
                                   SECRET_SCHEMA_NONE,
                                   {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {"access_group", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                   0,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr};
    return &s;
}

// Owning reference to a GObject.
template <typename T> class GRef {
public:
    GRef() = default;
    explicit GRef(T *p) : m_p(p) {}
    GRef(const GRef &o) : m_p(o.m_p) {
        if (m_p)
            g_object_ref(m_p);
    }
    GRef &operator=(const GRef &o) {
        GRef copy(o);
        std::swap(m_p, copy.m_p);
        return *this;
    }
    ~GRef() {
        if (m_p)
            g_object_unref(m_p);
    }
    T *get() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T *m_p = nullptr;
};

struct GErrorHolder {
    GError *error = nullptr;
    ~GErrorHolder() { g_clear_error(&error); }
};

// Cancels its GCancellable when `ms` pass before it is destroyed, so that a
// synchronous call to a service that does not answer returns.
class Deadline {
public:
    explicit Deadline(int ms) : m_cancellable(g_cancellable_new()) {
        m_thread = std::thread([this, ms] {
            std::unique_lock lock(m_mutex);
            if (!m_cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_done; })) {
                m_fired = true;
                g_cancellable_cancel(m_cancellable);
            }
        });
    }
    Deadline(const Deadline &) = delete;
    Deadline &operator=(const Deadline &) = delete;
    ~Deadline() {
        {
            std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_cv.notify_one();
        m_thread.join();
        g_object_unref(m_cancellable);
    }
    GCancellable *cancellable() const { return m_cancellable; }
    bool fired() const { return m_fired; }

private:
    GCancellable *m_cancellable;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    std::atomic<bool> m_fired{false};
    std::thread m_thread;
};

bool isNoServiceDBusError(int code) {
    switch (code) {
    case G_DBUS_ERROR_SERVICE_UNKNOWN:
    case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
    case G_DBUS_ERROR_NO_SERVER:
    case G_DBUS_ERROR_NO_REPLY:
    case G_DBUS_ERROR_TIMEOUT:
    case G_DBUS_ERROR_TIMED_OUT:
    case G_DBUS_ERROR_DISCONNECTED:
    case G_DBUS_ERROR_NO_NETWORK:
    case G_DBUS_ERROR_ADDRESS_IN_USE:
    case G_DBUS_ERROR_BAD_ADDRESS:
    case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
    case G_DBUS_ERROR_SPAWN_FORK_FAILED:
    case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
    case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
    case G_DBUS_ERROR_SPAWN_FAILED:
    case G_DBUS_ERROR_SPAWN_SETUP_FAILED:
    case G_DBUS_ERROR_SPAWN_CONFIG_INVALID:
    case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
    case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
    case G_DBUS_ERROR_SPAWN_PERMISSIONS_INVALID:
    case G_DBUS_ERROR_SPAWN_FILE_INVALID:
    case G_DBUS_ERROR_SPAWN_NO_MEMORY:
        return true;
    default:
        return false;
    }
}

// Sorts what the service said into a status. `connecting` marks errors met
// while reaching the bus and the service, which all mean "no service".
KCSecretResult fromError(const GError *error, const Deadline *deadline, bool connecting = false) {
    const QString detail = QString::fromUtf8(error->message);
    using S = KCSecretStatus;
    if (deadline && deadline->fired())
        return KCSecretResult::failure(S::NoService,
                                       QStringLiteral("The Secret Service did not answer in time."));
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        return KCSecretResult::failure(S::Cancelled, detail);
    if (error->domain == SECRET_ERROR) {
        if (error->code == SECRET_ERROR_IS_LOCKED)
            return KCSecretResult::failure(S::Locked, detail);
        if (error->code == SECRET_ERROR_NO_SUCH_OBJECT)
            return KCSecretResult::failure(S::NotFound, detail);
        return KCSecretResult::failure(S::Failed, detail);
    }
    if (error->domain == G_DBUS_ERROR) {
        if (isNoServiceDBusError(error->code))
            return KCSecretResult::failure(S::NoService, detail);
        if (error->code == G_DBUS_ERROR_ACCESS_DENIED || error->code == G_DBUS_ERROR_AUTH_FAILED)
            return KCSecretResult::failure(S::Cancelled, detail);
        if (g_dbus_error_is_remote_error(error)) {
            char *name = g_dbus_error_get_remote_error(error);
            const bool locked = name && g_str_equal(name, "org.freedesktop.Secret.Error.IsLocked");
            g_free(name);
            if (locked)
                return KCSecretResult::failure(S::Locked, detail);
        }
    }
    if (connecting || error->domain == G_SPAWN_ERROR)
        return KCSecretResult::failure(S::NoService, detail);
    if (error->domain == G_IO_ERROR &&
        (error->code == G_IO_ERROR_CLOSED || error->code == G_IO_ERROR_CONNECTION_REFUSED ||
         error->code == G_IO_ERROR_NOT_CONNECTED || error->code == G_IO_ERROR_BROKEN_PIPE ||
         error->code == G_IO_ERROR_CONNECTION_CLOSED || error->code == G_IO_ERROR_TIMED_OUT))
        return KCSecretResult::failure(S::NoService, detail);
    return KCSecretResult::failure(S::Failed, detail);
}

// Whether the process that provides the service is the one that provided
// it when the shared service object was first used (remembered then).
bool sameProvider(GDBusProxy *proxy) {
    static std::mutex mutex;
    static std::string provider;
    gchar *owner = g_dbus_proxy_get_name_owner(proxy);
    const std::string now = owner ? owner : "";
    g_free(owner);
    std::lock_guard lock(mutex);
    if (now.empty()) // not started yet: the call starts it (D-Bus activation)
        return true;
    if (!provider.empty() && provider != now) {
        provider.clear();
        return false;
    }
    provider = now;
    return true;
}

KCSecretResult connectService(GRef<SecretService> &out, const Deadline &deadline) {
    GErrorHolder e;
    // libsecret talks over GDBus's shared session-bus connection, which by
    // default ends the process when the bus goes away; a keyring going away
    // must not take the application with it.
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SESSION, deadline.cancellable(), &e.error);
    if (!bus)
        return fromError(e.error, &deadline, true);
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    g_object_unref(bus);
    for (int attempt = 0; attempt < 2; ++attempt) {
        SecretService *service =
            secret_service_get_sync(SECRET_SERVICE_NONE, deadline.cancellable(), &e.error);
        if (!service)
            return e.error ? fromError(e.error, &deadline, true)
                           : KCSecretResult::failure(KCSecretStatus::NoService);
        out = GRef<SecretService>(service);
        // A service object left over from a bus that has since closed is
        // dropped, so that a restarted session bus is used again; so is one
        // made while another process provided the service (a keyring that
        // was restarted): its session with that process is gone.
        if (!g_dbus_connection_is_closed(g_dbus_proxy_get_connection(G_DBUS_PROXY(service))) &&
            sameProvider(G_DBUS_PROXY(service)))
            return {};
        out = {};
        secret_service_disconnect();
    }
    return KCSecretResult::failure(KCSecretStatus::NoService, QStringLiteral("The session bus is closed."));
}

GHashTable *attributeTable(const KCSecretAttributes &a) {
    GHashTable *t = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    auto put = [t](const char *key, const std::optional<QString> &value) {
        if (value)
            g_hash_table_insert(t, g_strdup(key), g_strdup(value->toUtf8().constData()));
    };
    put("service", a.service);
    put("account", a.account);
    put("access_group", a.accessGroup);
    return t;
}

quint64 pathNumber(SecretItem *item) {
    const QByteArray path = g_dbus_proxy_get_object_path(G_DBUS_PROXY(item));
    return path.mid(path.lastIndexOf('/') + 1).toULongLong();
}

// Items matching `match`, least recently written first (ties by creation
// order), so that the last one is the one written most recently.
KCSecretResult search(SecretService *service, const KCSecretAttributes &match, const Deadline &deadline,
                      std::vector<GRef<SecretItem>> &out) {
    GErrorHolder e;
    GHashTable *attributes = attributeTable(match);
    GList *found = secret_service_search_sync(service, schema(), attributes, SECRET_SEARCH_ALL,
                                              deadline.cancellable(), &e.error);
    g_hash_table_unref(attributes);
    if (e.error)
        return fromError(e.error, &deadline);
    for (GList *l = found; l; l = l->next)
        out.emplace_back(SECRET_ITEM(l->data)); // takes over the list's reference
    g_list_free(found);
    std::stable_sort(out.begin(), out.end(), [](const GRef<SecretItem> &a, const GRef<SecretItem> &b) {
        const auto key = [](SecretItem *i) {
            return std::make_tuple(secret_item_get_modified(i), secret_item_get_created(i), pathNumber(i));
        };
        return key(a.get()) < key(b.get());
    });
    if (out.empty())
        return KCSecretResult::failure(KCSecretStatus::NotFound);
    return {};
}

QString attributeValue(GHashTable *attributes, const char *key, bool *present = nullptr) {
    const auto *value =
        static_cast<const char *>(attributes ? g_hash_table_lookup(attributes, key) : nullptr);
    if (present)
        *present = value != nullptr;
    return value ? QString::fromUtf8(value) : QString();
}

QDateTime fromSeconds(guint64 seconds) {
    return seconds ? QDateTime::fromSecsSinceEpoch(qint64(seconds), Qt::UTC) : QDateTime();
}

SecretValue *newValue(const QByteArray &secret) {
    return secret_value_new(secret.constData(), secret.size(),
                            secret.isValidUtf8() ? "text/plain" : "application/octet-stream");
}

} // namespace

KCSecretServiceStore::KCSecretServiceStore() : KCSecretServiceStore(Options{}) {}

KCSecretServiceStore::KCSecretServiceStore(Options options) : m_options(options) {}

QString KCSecretServiceStore::schemaName() {
    return QString::fromUtf8(schema()->name);
}

namespace {

// Unlocks the locked objects among `objects` (items or collections). The
// service shows its prompt while this waits; the wait is not bounded, since it
// lasts exactly as long as the user leaves the prompt open.
KCSecretResult unlockIfNeeded(SecretService *service,
                              const std::vector<std::pair<GDBusProxy *, bool>> &objects, bool allowPrompt) {
    GList *locked = nullptr;
    guint count = 0;
    for (const auto &[object, isLocked] : objects) {
        if (isLocked) {
            locked = g_list_append(locked, object);
            ++count;
        }
    }
    if (!locked)
        return {};
    if (!allowPrompt) {
        g_list_free(locked);
        return KCSecretResult::failure(KCSecretStatus::Locked,
                                       QStringLiteral("Unlock prompts are turned off."));
    }
    GErrorHolder e;
    GList *unlocked = nullptr;
    const gint n = secret_service_unlock_sync(service, locked, nullptr, &unlocked, &e.error);
    g_list_free(locked);
    g_list_free_full(unlocked, g_object_unref);
    if (e.error)
        return fromError(e.error, nullptr);
    if (n < gint(count))
        return KCSecretResult::failure(KCSecretStatus::Locked,
                                       QStringLiteral("The keyring stayed locked: the unlock prompt was "
                                                      "dismissed or could not be shown."));
    return {};
}

KCSecretResult unlockItems(SecretService *service, const std::vector<GRef<SecretItem>> &items,
                           bool allowPrompt) {
    std::vector<std::pair<GDBusProxy *, bool>> objects;
    for (const auto &item : items)
        objects.emplace_back(G_DBUS_PROXY(item.get()), secret_item_get_locked(item.get()));
    return unlockIfNeeded(service, objects, allowPrompt);
}

// Connects and finds the items matching `match`, unlocking them when
// `unlock` (one prompt for all of them).
KCSecretResult openMatching(const KCSecretServiceStore::Options &options, const KCSecretAttributes &match,
                            bool unlock, GRef<SecretService> &service, std::vector<GRef<SecretItem>> &items) {
    {
        Deadline deadline(options.callTimeoutMs);
        if (auto r = connectService(service, deadline); !r.ok())
            return r;
        if (auto r = search(service.get(), match, deadline, items); !r.ok())
            return r;
    }
    return unlock ? unlockItems(service.get(), items, options.unlockPrompts) : KCSecretResult{};
}

// Runs `call` on each item under one deadline; stops at the first failure.
template <typename Call>
KCSecretResult forEachItem(const std::vector<GRef<SecretItem>> &items, int timeoutMs, Call call) {
    Deadline deadline(timeoutMs);
    for (const auto &item : items) {
        GErrorHolder e;
        if (!call(item.get(), deadline.cancellable(), &e.error))
            return e.error ? fromError(e.error, &deadline) : KCSecretResult::failure(KCSecretStatus::Failed);
    }
    return {};
}

} // namespace

KCSecretResult KCSecretServiceStore::find(const KCSecretAttributes &match, QByteArray *secret) {
    GRef<SecretService> service;
    std::vector<GRef<SecretItem>> items;
    if (auto r = openMatching(m_options, match, false, service, items); !r.ok())
        return r;
    if (!secret)
        return {};
    const std::vector<GRef<SecretItem>> chosen{items.back()};
    if (auto r = unlockItems(service.get(), chosen, m_options.unlockPrompts); !r.ok())
        return r;
    if (auto r = forEachItem(chosen, m_options.callTimeoutMs, secret_item_load_secret_sync); !r.ok())
        return r;
    SecretValue *value = secret_item_get_secret(chosen.front().get());
    if (!value)
        return KCSecretResult::failure(KCSecretStatus::Locked);
    gsize length = 0;
    const gchar *data = secret_value_get(value, &length);
    *secret = QByteArray(data, qsizetype(length));
    secret_value_unref(value);
    return {};
}

KCSecretResult KCSecretServiceStore::list(const KCSecretAttributes &match, QList<KCSecretItem> *items) {
    GRef<SecretService> service;
    std::vector<GRef<SecretItem>> found;
    if (auto r = openMatching(m_options, match, false, service, found); !r.ok())
        return r;
    if (!items)
        return {};
    items->clear();
    for (const auto &ref : found) {
        SecretItem *item = ref.get();
        GHashTable *attributes = secret_item_get_attributes(item);
        KCSecretItem entry;
        bool present = false;
        QString v = attributeValue(attributes, "service", &present);
        if (present)
            entry.attributes.service = v;
        v = attributeValue(attributes, "account", &present);
        if (present)
            entry.attributes.account = v;
        v = attributeValue(attributes, "access_group", &present);
        if (present)
            entry.attributes.accessGroup = v;
        if (attributes)
            g_hash_table_unref(attributes);
        gchar *label = secret_item_get_label(item);
        entry.label = QString::fromUtf8(label);
        g_free(label);
        entry.created = fromSeconds(secret_item_get_created(item));
        entry.modified = fromSeconds(secret_item_get_modified(item));
        entry.locked = secret_item_get_locked(item);
        items->append(entry);
    }
    return {};
}

KCSecretResult KCSecretServiceStore::add(const KCSecretAttributes &attributes, const QString &label,
                                         const QByteArray &secret) {
    GRef<SecretService> service;
    GRef<SecretCollection> collection;
    {
        Deadline deadline(m_options.callTimeoutMs);
        if (auto r = connectService(service, deadline); !r.ok())
            return r;
        GErrorHolder e;
        collection = GRef<SecretCollection>(
            secret_collection_for_alias_sync(service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE,
                                             deadline.cancellable(), &e.error));
        if (e.error)
            return fromError(e.error, &deadline);
    }
    if (collection) {
        const bool locked = secret_collection_get_locked(collection.get());
        if (auto r = unlockIfNeeded(service.get(), {{G_DBUS_PROXY(collection.get()), locked}},
                                    m_options.unlockPrompts);
            !r.ok())
            return r;
    }
    QString itemLabel = label;
    if (itemLabel.isEmpty()) {
        itemLabel = attributes.service.value_or(QString());
        if (attributes.account)
            itemLabel += QStringLiteral(" (%1)").arg(*attributes.account);
    }
    // Without a default collection the service asks the user to create one;
    // that prompt is not put under the deadline.
    std::optional<Deadline> deadline;
    if (collection)
        deadline.emplace(m_options.callTimeoutMs);
    GErrorHolder e;
    GHashTable *table = attributeTable(attributes);
    SecretValue *value = newValue(secret);
    const gboolean stored = secret_service_store_sync(
        service.get(), schema(), table, SECRET_COLLECTION_DEFAULT, itemLabel.toUtf8().constData(), value,
        deadline ? deadline->cancellable() : nullptr, &e.error);
    secret_value_unref(value);
    g_hash_table_unref(table);
    if (!stored)
        return e.error ? fromError(e.error, deadline ? &*deadline : nullptr)
                       : KCSecretResult::failure(KCSecretStatus::Failed);
    return {};
}

KCSecretResult KCSecretServiceStore::update(const KCSecretAttributes &match, const QByteArray &secret) {
    GRef<SecretService> service;
    std::vector<GRef<SecretItem>> items;
    if (auto r = openMatching(m_options, match, true, service, items); !r.ok())
        return r;
    SecretValue *value = newValue(secret);
    const KCSecretResult result =
        forEachItem(items, m_options.callTimeoutMs, [value](SecretItem *item, GCancellable *c, GError **e) {
            return secret_item_set_secret_sync(item, value, c, e);
        });
    secret_value_unref(value);
    return result;
}

KCSecretResult KCSecretServiceStore::remove(const KCSecretAttributes &match) {
    GRef<SecretService> service;
    std::vector<GRef<SecretItem>> items;
    if (auto r = openMatching(m_options, match, true, service, items); !r.ok())
        return r;
    return forEachItem(items, m_options.callTimeoutMs, secret_item_delete_sync);
}

KCSecretResult KCSecretServiceStore::lockDefaultCollection() {
    GRef<SecretService> service;
    Deadline deadline(m_options.callTimeoutMs);
    if (auto r = connectService(service, deadline); !r.ok())
        return r;
    GErrorHolder e;
    GRef<SecretCollection> collection(secret_collection_for_alias_sync(
        service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, deadline.cancellable(), &e.error));
    if (e.error)
        return fromError(e.error, &deadline);
    if (!collection)
        return KCSecretResult::failure(KCSecretStatus::NotFound);
    GList *objects = g_list_append(nullptr, collection.get());
    const gint n =
        secret_service_lock_sync(service.get(), objects, deadline.cancellable(), nullptr, &e.error);
    g_list_free(objects);
    if (e.error)
        return fromError(e.error, &deadline);
    if (n < 1)
        return KCSecretResult::failure(KCSecretStatus::Failed,
                                       QStringLiteral("The collection was not locked."));
    return {};
}
