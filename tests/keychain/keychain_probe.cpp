// keychain_probe get|set|list|lock SERVICE [ACCOUNT [PASSWORD]]
// Runs one keychain operation and prints its outcome as one JSON object, so
// that tests can run the keychain in a process with its own environment (no
// bus, a bus without a keyring). KC_KEYCHAIN_PROBE_TIMEOUT_MS sets the time
// the keyring is given to answer.
#include "keychain/brkeychain.h"
#include "platform/secretstore/secret_service_store.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: keychain_probe get|set|list|lock SERVICE [ACCOUNT [PASSWORD]]\n");
        return 2;
    }
    const QString command = args[0], service = args[1];
    const QString account = args.value(2), password = args.value(3);
    if (qEnvironmentVariableIsSet("KC_KEYCHAIN_PROBE_TIMEOUT_MS")) {
        KCSecretServiceStore::Options options;
        options.callTimeoutMs = qEnvironmentVariableIntValue("KC_KEYCHAIN_PROBE_TIMEOUT_MS");
        BRKeychainQuery::setDefaultSecretStore(std::make_shared<KCSecretServiceStore>(options));
    }
    KCError error;
    QJsonObject out;
    QElapsedTimer timer;
    timer.start();
    if (command == QLatin1String("get")) {
        const auto value = BRKeychain::passwordForService(service, account, &error);
        out.insert(QStringLiteral("value"), value ? QJsonValue(*value) : QJsonValue());
    } else if (command == QLatin1String("set")) {
        out.insert(QStringLiteral("value"), BRKeychain::setPassword(password, service, account, &error));
    } else if (command == QLatin1String("list")) {
        const auto list = BRKeychain::accountsForService(service, &error);
        out.insert(QStringLiteral("value"), list ? QJsonValue(qint64(list->size())) : QJsonValue());
    } else if (command == QLatin1String("lock")) {
        // Locks the default collection, as a screen lock does.
        const KCSecretResult r = KCSecretServiceStore().lockDefaultCollection();
        if (!r.ok())
            error = BRKeychainQuery::errorWithCode(qint64(r.status), r.detail);
        out.insert(QStringLiteral("value"), r.ok());
    } else {
        std::fprintf(stderr, "keychain_probe: unknown command %s\n", qPrintable(command));
        return 2;
    }
    out.insert(QStringLiteral("ms"), timer.elapsed());
    out.insert(QStringLiteral("domain"), error.domain());
    out.insert(QStringLiteral("code"), error.code());
    out.insert(QStringLiteral("description"), error.isNull() ? QString() : error.localizedDescription());
    out.insert(QStringLiteral("reason"), error.localizedFailureReason());
    std::printf("%s\n", QJsonDocument(out).toJson(QJsonDocument::Compact).constData());
    return 0;
}
