#pragma once
// A day offline: captures accepted while the clinic service and the EMR
// cannot be reached (the demo service stopped), the application quit and
// started twice meanwhile, then the service back. Runs the real queue in
// kc-upload-probe processes against kelvra-demo-service; must run inside a
// keyring (tests/support/with-keyring), as the application does.

#include <QSize>
#include <QString>
#include <QStringList>

struct KCOfflineDayOptions {
    QString demoService; // kelvra-demo-service
    QString probe;       // kc-upload-probe
    int captures = 30;
    QSize image{400, 300};
};

struct KCOfflineDayResult {
    QString failure;      // "" when the day went as it should
    QStringList figures;  // the probe's "figures ..." lines, one per run
    int clinicFiled = 0;  // documentations of the day's captures
    int emrFiled = 0;     // chart documents of the day's captures
    bool inOrder = false; // both in the order of acceptance
    QString exposure;     // what the outbox showed in the clear at any look
};

KCOfflineDayResult kcRunOfflineDay(const KCOfflineDayOptions &options);
