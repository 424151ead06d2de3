// kelvra-demo-service: the demo clinic web service and demo EMR.

#include "demo/demo_server.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QStandardPaths>
#include <cstdio>

namespace {

int fail(const QString &message) {
    std::fprintf(stderr, "kelvra-demo-service: %s\n", qPrintable(message));
    return 2;
}

bool readCount(const QCommandLineParser &parser, const QString &name, int min, int max, int *value,
               QString *error) {
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const int number = parser.value(name).toInt(&ok);
    if (!ok || number < min || number > max) {
        *error = QStringLiteral("--%1 needs a whole number from %2 to %3, not \"%4\"")
                     .arg(name)
                     .arg(min)
                     .arg(max)
                     .arg(parser.value(name));
        return false;
    }
    *value = number;
    return true;
}

} // namespace

int main(int argc, char **argv) {
    // Portraits are drawn off screen; no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("KelvraCapture"));
    QCoreApplication::setApplicationName(QStringLiteral("kelvra-demo-service"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Demo clinic web service (/api/) and athenahealth-compatible demo EMR (/athena/)."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("host"),
         QStringLiteral("Address to listen on (default 127.0.0.1); only this computer's unless "
                        "--allow-remote."),
         QStringLiteral("ADDR"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("allow-remote"),
         QStringLiteral("Allow a --host that other computers can reach (the demo password is public).")},
        {QStringLiteral("port"), QStringLiteral("Port to listen on; 0 picks a free port (default 47800)."),
         QStringLiteral("N"), QStringLiteral("47800")},
        {QStringLiteral("https"),
         QStringLiteral("Serve HTTPS with a certificate made at start; the CA is written to "
                        "<data-dir>/tls/ca.pem.")},
        {QStringLiteral("data-dir"), QStringLiteral("Where filed documentation and EMR documents are kept."),
         QStringLiteral("DIR")},
        {QStringLiteral("emr"), QStringLiteral("EMR named in the configuration: athenahealth, fhir or none."),
         QStringLiteral("NAME"), QStringLiteral("athenahealth")},
        {QStringLiteral("fhir-url"), QStringLiteral("With --emr fhir: the FHIR base URL handed out."),
         QStringLiteral("URL")},
        {QStringLiteral("fhir-client-id"),
         QStringLiteral("With --emr fhir: the client id handed out (default kelvra-capture-demo)."),
         QStringLiteral("ID")},
        {QStringLiteral("fhir-key"),
         QStringLiteral("With --emr fhir: the private key (PEM file) handed out in the configuration "
                        "(a backend service); without it the clinicians sign in to the EHR themselves."),
         QStringLiteral("FILE")},
        {QStringLiteral("fhir-organization"),
         QStringLiteral("With --emr fhir and no key: the Organization that keeps the documents "
                        "(default Organization/org-clinic)."),
         QStringLiteral("REFERENCE")},
        {QStringLiteral("fhir-patients"),
         QStringLiteral("Print the demo patients as a FHIR Bundle (to seed a FHIR server) and exit.")},
        {QStringLiteral("delay-ms"), QStringLiteral("Delay every answer by N milliseconds."),
         QStringLiteral("N")},
        {QStringLiteral("expire-sessions-after"),
         QStringLiteral("A clinic session becomes invalid after N authenticated requests."),
         QStringLiteral("N")},
        {QStringLiteral("fail"),
         QStringLiteral("Answer the next N requests (see --fail-path) with --fail-status."),
         QStringLiteral("N")},
        {QStringLiteral("fail-status"), QStringLiteral("Status of injected failures (default 500)."),
         QStringLiteral("CODE")},
        {QStringLiteral("fail-path"), QStringLiteral("Only requests whose path contains TEXT fail."),
         QStringLiteral("TEXT")},
        {QStringLiteral("emr-token-lifetime"),
         QStringLiteral("Lifetime of EMR access tokens in seconds (default 3600)."), QStringLiteral("S")},
    });
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    if (parser.isSet(QStringLiteral("fhir-patients"))) {
        std::printf(
            "%s\n",
            QJsonDocument(DemoClinic().fhirPatientBundle()).toJson(QJsonDocument::Indented).constData());
        return 0;
    }

    DemoOptions options;
    options.host = parser.value(QStringLiteral("host"));
    options.https = parser.isSet(QStringLiteral("https"));
    options.allowRemote = parser.isSet(QStringLiteral("allow-remote"));
    options.emr = parser.value(QStringLiteral("emr"));
    if (options.emr != QLatin1String("athenahealth") && options.emr != QLatin1String("fhir") &&
        options.emr != QLatin1String("none"))
        return fail(QStringLiteral("--emr must be athenahealth, fhir or none"));
    if (options.emr == QLatin1String("fhir")) {
        options.fhirURL = parser.value(QStringLiteral("fhir-url"));
        if (options.fhirURL.isEmpty())
            return fail(QStringLiteral("--emr fhir needs --fhir-url"));
        if (parser.isSet(QStringLiteral("fhir-client-id")))
            options.fhirClientID = parser.value(QStringLiteral("fhir-client-id"));
        if (parser.isSet(QStringLiteral("fhir-organization")))
            options.fhirOrganization = parser.value(QStringLiteral("fhir-organization"));
        if (parser.isSet(QStringLiteral("fhir-key"))) {
            QFile key(parser.value(QStringLiteral("fhir-key")));
            if (!key.open(QIODevice::ReadOnly))
                return fail(QStringLiteral("cannot read %1: %2").arg(key.fileName(), key.errorString()));
            options.fhirPrivateKey = QString::fromLatin1(key.readAll());
        }
    }
    options.dataDir = parser.isSet(QStringLiteral("data-dir"))
                          ? parser.value(QStringLiteral("data-dir"))
                          : QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (options.dataDir.isEmpty())
        return fail(QStringLiteral("no data folder; give one with --data-dir"));
    int port = options.port;
    QString error;
    if (!readCount(parser, QStringLiteral("port"), 0, 65535, &port, &error) ||
        !readCount(parser, QStringLiteral("delay-ms"), 0, 600000, &options.delayMs, &error) ||
        !readCount(parser, QStringLiteral("expire-sessions-after"), 1, 1000000000,
                   &options.expireSessionsAfter, &error) ||
        !readCount(parser, QStringLiteral("fail"), 0, 1000000000, &options.failCount, &error) ||
        !readCount(parser, QStringLiteral("fail-status"), 200, 599, &options.failStatus, &error) ||
        !readCount(parser, QStringLiteral("emr-token-lifetime"), 0, 100000000, &options.emrTokenLifetime,
                   &error))
        return fail(error);
    options.port = quint16(port);
    options.failPath = parser.value(QStringLiteral("fail-path"));

    DemoServer server(options);
    if (!server.start(&error))
        return fail(error);
    std::printf("kelvra-demo-service listening on %s\n", qPrintable(server.url().toString()));
    std::printf("demo user: %s  password: %s\n", qPrintable(demo::kUserName), qPrintable(demo::kPassword));
    std::fflush(stdout);
    return app.exec();
}
