#pragma once
// KCSecretStore over the freedesktop Secret Service (gnome-keyring, KeePassXC,
// ...) through libsecret. Every item is stored and looked up under one schema,
// "com.brenmark.brkeychain.GenericPassword", with the string attributes
// "service", "account" and, when set, "access_group".
//
// Calls are synchronous and may be made from any thread. Blocking is bounded:
// every exchange with the service is given `callTimeoutMs` and then reported
// as NoService; only an unlock prompt shown to the user may take longer, and
// then exactly as long as the user leaves it open. Listing reads attributes
// only and never asks for an unlock, so it never shows a prompt.

#include "platform/secretstore/secret_store.h"

class KCSecretServiceStore : public KCSecretStore {
public:
    struct Options {
        // Ask the service to unlock a locked item or collection (the service
        // then shows its own prompt when it has a display). When false, or
        // when the prompt is dismissed or cannot be shown, the operation
        // reports Locked.
        bool unlockPrompts = true;
        // Upper bound for one exchange with the service, prompts excluded.
        int callTimeoutMs = 15000;
    };

    KCSecretServiceStore();
    explicit KCSecretServiceStore(Options options);

    static QString schemaName();

    KCSecretResult find(const KCSecretAttributes &match, QByteArray *secret) override;
    KCSecretResult list(const KCSecretAttributes &match, QList<KCSecretItem> *items) override;
    KCSecretResult add(const KCSecretAttributes &attributes, const QString &label,
                       const QByteArray &secret) override;
    KCSecretResult update(const KCSecretAttributes &match, const QByteArray &secret) override;
    KCSecretResult remove(const KCSecretAttributes &match) override;

    // Locks the default collection (what a screen lock or a timeout does).
    // For tests and diagnostics.
    KCSecretResult lockDefaultCollection();

private:
    Options m_options;
};
