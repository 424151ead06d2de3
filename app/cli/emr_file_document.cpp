// kelvra-capture emr-file: files an image in a patient's chart (athenahealth,
// or any FHIR R4 EHR) the way an accepted capture is filed, from a user
// configuration kept in a JSON file. For trying a configuration and an EMR
// connection by hand.

#include "app/cli/cli.h"
#include "emr/athenahealth_api_client.h"
#include "emr/emr_api_client.h"

#include <QBuffer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include <cstdio>

namespace {

// The visit as the patient list would give it.
struct Visit {
    QString patient, note, appointment, department, name, dob;
};

// Reads the visit (patient id, note, ...) from FILE, or from standard input
// for "-": patient data never goes on the command line, where every user of
// the computer can read it.
bool readVisit(const QString &path, Visit *v, QString *error) {
    QFile file;
    const bool stdinput = path == QLatin1String("-");
    bool opened = false;
    if (stdinput) {
        opened = file.open(stdin, QIODevice::ReadOnly);
    } else {
        file.setFileName(path);
        opened = file.open(QIODevice::ReadOnly);
    }
    if (!opened) {
        *error = QStringLiteral("cannot read %1: %2")
                     .arg(stdinput ? QStringLiteral("standard input") : path, file.errorString());
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    const QString name = stdinput ? QStringLiteral("standard input") : path;
    if (!doc.isObject()) {
        *error = QStringLiteral("%1 does not hold a JSON object: %2").arg(name, parseError.errorString());
        return false;
    }
    const QJsonObject visit = doc.object();
    auto text = [&](const char *key, QString *out) {
        const QJsonValue value = visit.value(QLatin1String(key));
        if (value.isUndefined() || value.isNull())
            return true;
        if (value.isString())
            *out = value.toString();
        else if (value.isDouble())
            *out = QString::number(value.toInteger());
        else
            return false;
        return true;
    };
    if (!text("patient", &v->patient) || !text("note", &v->note) || !text("appointment", &v->appointment) ||
        !text("department", &v->department) || !text("name", &v->name) || !text("dob", &v->dob)) {
        *error = QStringLiteral("%1: \"patient\", \"note\", \"appointment\", \"department\", \"name\" and "
                                "\"dob\" must be text")
                     .arg(name);
        return false;
    }
    if (v->patient.isEmpty() && v->name.isEmpty()) {
        *error = QStringLiteral("%1 names no \"patient\" (nor, for FHIR, a \"name\")").arg(name);
        return false;
    }
    return true;
}

int run(int argc, char **argv, const QStringList &args) {
    QString configPath, visitPath, type = QStringLiteral("image"), file;
    Visit v;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        auto value = [&](QString *out) {
            if (i + 1 >= args.size())
                return false;
            *out = args.at(++i);
            return true;
        };
        bool ok = true;
        if (a == QLatin1String("--config"))
            ok = value(&configPath);
        else if (a == QLatin1String("--visit"))
            ok = value(&visitPath);
        else if (a == QLatin1String("--type"))
            ok = value(&type);
        else if (a == QLatin1String("--patient") || a == QLatin1String("--note") ||
                 a == QLatin1String("--appointment") || a == QLatin1String("--department"))
            return cliBadInput(
                QStringLiteral("%1 is no longer taken from the command line, where other users "
                               "can see it: put it in the --visit file (or - for standard input)")
                    .arg(a));
        else if (a == QLatin1String("-") && file.isEmpty())
            file = a;
        else if (a.startsWith(QLatin1Char('-')))
            return cliBadInput(QStringLiteral("unknown option %1").arg(a));
        else if (file.isEmpty())
            file = a;
        else
            return cliBadInput(QStringLiteral("only one file can be filed at a time"));
        if (!ok)
            return cliBadInput(QStringLiteral("%1 needs a value").arg(a));
    }
    if (configPath.isEmpty() || visitPath.isEmpty() || file.isEmpty())
        return cliBadInput(QStringLiteral("--config, --visit and a FILE are required (see --help)"));
    if (file == QLatin1String("-"))
        return cliBadInput(QStringLiteral("the document is read from a file; standard input is for --visit"));
    QString visitError;
    if (!readVisit(visitPath, &v, &visitError))
        return cliBadInput(visitError);

    QFile config(configPath);
    if (!config.open(QIODevice::ReadOnly))
        return cliBadInput(QStringLiteral("cannot read %1: %2").arg(configPath, config.errorString()));
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(config.readAll(), &parseError);
    if (!doc.isObject())
        return cliBadInput(
            QStringLiteral("%1 is not a JSON object: %2").arg(configPath, parseError.errorString()));
    QFile input(file);
    if (!input.open(QIODevice::ReadOnly))
        return cliBadInput(QStringLiteral("cannot read %1: %2").arg(file, input.errorString()));
    QByteArray content = input.readAll();

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    // The same private folder for the document files as the application's.
    QCoreApplication::setOrganizationName(QStringLiteral("Kelvra"));
    QCoreApplication::setApplicationName(QStringLiteral("KelvraCapture"));

    if (type == QLatin1String("image")) {
        // Images are sent as TIFF, as the capture panel does.
        const QImage image = QImage::fromData(content);
        if (image.isNull())
            return cliBadInput(QStringLiteral("%1 is not an image this program can read").arg(file));
        QBuffer buffer(&content);
        buffer.open(QIODevice::WriteOnly | QIODevice::Truncate);
        image.save(&buffer, "TIFF");
    }

    const QVariantMap preferences = doc.object().toVariantMap();
    EMRAPIClient &registry = EMRAPIClient::sharedEMRAPIClient();
    registry.extensionCheckCurrentEMR(preferences.value(QStringLiteral("emrData")), preferences);
    const std::shared_ptr<EMRAPIDelegate> client = registry.delegate();
    if (!client || !client->respondsToFileDocument()) {
        std::fprintf(stderr,
                     "kelvra-capture: the configuration names no EMR that documents can be filed in\n");
        return 1;
    }
    client->initWithBaseURL(QUrl(
        preferences.value(QStringLiteral("emrData")).toMap().value(QStringLiteral("base_url")).toString()));

    const QString entryID = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const QVariantMap record{
        {QStringLiteral("encounter_note"), v.note},
        {QStringLiteral("id"), QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()},
        {QStringLiteral("Upload"),
         QVariantList{QVariantMap{{QStringLiteral("id"), entryID},
                                  {QStringLiteral("content"), QString::fromLatin1(content.toBase64())}}}}};
    // The patient entry's keys (the FHIR client checks name and date of
    // birth in the EHR), and athenahealth's appointment and department.
    QVariantMap visit{{QStringLiteral("emr_patient_id"), v.patient},
                      {QStringLiteral("name"), v.name},
                      {QStringLiteral("dob"), v.dob},
                      {QStringLiteral("emr_appointment_id"), v.appointment}};
    if (!v.department.isEmpty())
        visit.insert(QStringLiteral("department_id"), v.department);
    if (!v.appointment.isEmpty())
        visit.insert(QStringLiteral("ClinicPatientDeviceAssignment"),
                     QVariantMap{{QStringLiteral("emr_appointment_id"), v.appointment}});

    // Filed only when the EMR names the new document; any other answer (a
    // proxy's page, an empty 200) is reported with what the EMR said.
    int status = 1;
    QEventLoop loop;
    client->fileDocument(record, visit, type, false, [&](const EMRFilingOutcome &outcome) {
        if (outcome.kind == EMRFilingOutcome::Filed) {
            std::printf("filed %s.pdf as document %s\n", qPrintable(entryID.right(10)),
                        qPrintable(outcome.documentID));
            status = 0;
        } else {
            std::fprintf(stderr, "kelvra-capture: the document was not filed: %s\n",
                         qPrintable(outcome.error));
        }
        loop.quit();
    });
    loop.exec();
    return status;
}

CliRegistrar registrar(
    {QStringLiteral("emr-file"), QStringLiteral("--config FILE --visit FILE|- [--type image|pdf] DOCUMENT"),
     QStringLiteral("file an image in a patient's chart (athenahealth or FHIR)"),
     QStringLiteral("Files DOCUMENT in a patient's chart as an accepted capture is filed: an\n"
                    "image becomes a one-page PDF of its size (embedded losslessly). For\n"
                    "athenahealth it is written to the application's private folder, removed\n"
                    "once the EMR has answered, and posted with a fresh access token; for a\n"
                    "FHIR EHR it is sent as a DocumentReference once the EHR's Patient has\n"
                    "been found and its date of birth checked. --type pdf sends the file's\n"
                    "bytes as they are.\n\n"
                    "--visit names a file, or - for standard input, holding the visit as\n"
                    "JSON: {\"patient\": ID, \"name\": \"First Last\", \"dob\": \"yyyy-MM-dd\",\n"
                    "\"note\": TEXT, \"appointment\": ID, \"department\": ID}. athenahealth needs\n"
                    "\"patient\"; FHIR needs \"dob\" and \"patient\" (the EHR id or MRN) or\n"
                    "\"name\". Patient data is never taken from the command line, where other\n"
                    "users can read it.\n\n"
                    "FILE given to --config holds the user configuration as the clinic\n"
                    "service hands it out: {\"emrData\": {\"base_url\", \"auth_url\", \"api_key\",\n"
                    "\"api_secret\", \"emr_data_1\"}, \"kelvraKeychain\": {\"enabledEMR\":\n"
                    "\"athenahealth\", \"departmentID\", ...}}, or for FHIR {\"emrData\":\n"
                    "{\"base_url\", \"client_id\", \"key_id\", \"private_key\", ...},\n"
                    "\"kelvraKeychain\": {\"enabledEMR\": \"fhir\"}} (see the README). Its URLs\n"
                    "must be https:// unless they point at this computer.\n\n"
                    "\"appointment\" files it with that appointment (athenahealth: in the\n"
                    "configured department; FHIR: with the visit's Encounter); \"department\"\n"
                    "overrides the configured department when there is no appointment. Exit\n"
                    "status 0 when the EMR names the new document, 1 for any other answer\n"
                    "(printed), 2 on bad input."),
     &run});

} // namespace
