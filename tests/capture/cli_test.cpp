// The ocr, match and score subcommands of the real binary, run without a
// display.

#include "capture/string_score.h"
#include "window_rendering.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <gtest/gtest.h>

namespace {

struct Outcome {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Outcome run(const QStringList &args, const QByteArray &input = {}, const QMap<QString, QString> &env = {}) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "KELVRA_TESSDATA"})
        environment.remove(name);
    for (auto it = env.begin(); it != env.end(); ++it)
        environment.insert(it.key(), it.value());
    process.setProcessEnvironment(environment);
    process.start(KC_CAPTURE_BINARY, args);
    EXPECT_TRUE(process.waitForStarted(60000));
    if (!input.isEmpty())
        process.write(input);
    process.closeWriteChannel();
    EXPECT_TRUE(process.waitForFinished(240000));
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

// One line on stderr, exit status 2.
void expectBadInput(const Outcome &r) {
    EXPECT_EQ(r.exitCode, 2) << r.err.constData();
    EXPECT_EQ(r.err.count('\n'), 1) << r.err.constData();
    EXPECT_TRUE(r.err.startsWith("kelvra-capture: ")) << r.err.constData();
    EXPECT_TRUE(r.out.isEmpty());
}

class CaptureCli : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString write(const QString &name, const QByteArray &bytes) {
        QFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return file.fileName();
    }
    QString patientsFile() {
        return write("patients.json", R"([
            {"name": "Jane Doe", "dob": "1970-01-01", "kelvraID": 7},
            {"name": "John Smith", "dob": "1950-01-02", "emr_patient_id": "E42", "kelvraID": 8,
             "interaction_id": 99, "exam_room_name": "Room 4"},
            {"name": "Marta Rossi"}
        ])");
    }
    QTemporaryDir dir;
};

TEST_F(CaptureCli, ScorePrintsSeventeenDigits) {
    Outcome r = run({"score", "--fuzziness", "0.8", " John Smith", "John Smith"});
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(r.out, QString::asprintf("%.17g\n", scoreAgainst(" John Smith", "John Smith", 0.8f)).toUtf8());
    EXPECT_TRUE(r.out.startsWith("0.7827")) << r.out.constData();

    // No fuzziness passed: a missing character scores 0.
    EXPECT_EQ(run({"score", " John Smith", " Smith John"}).out, "0\n");
    EXPECT_EQ(run({"score", "--fuzziness=0.8", "Smith, John", "Smith John"}).out, "1\n");
    EXPECT_EQ(run({"score", "--fuzziness", "0.8", "--", "12/34", "John"}).out, "inf\n");
    // After "--" strings beginning with "-" are taken as they are.
    r = run({"score", "--", "-John Smith", "--fuzziness"});
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(r.out, QString::asprintf("%.17g\n", scoreAgainst("-John Smith", "--fuzziness")).toUtf8());
    // Non-ASCII arguments arrive as UTF-8.
    EXPECT_EQ(run({"score", "José", "Jose"}).out,
              QString::asprintf("%.17g\n", scoreAgainst("José", "Jose")).toUtf8());
}

TEST_F(CaptureCli, ScoreBadInput) {
    expectBadInput(run({"score", "one"}));
    expectBadInput(run({"score", "a", "b", "c"}));
    expectBadInput(run({"score", "--fuzziness", "abc", "a", "b"}));
    expectBadInput(run({"score", "--fuzziness", "1.5", "a", "b"}));
    expectBadInput(run({"score", "--fuzziness", "nan", "a", "b"}));
    expectBadInput(run({"score", "a", "b", "--fuzziness"}));
    expectBadInput(run({"score", "--fuzz", "0.8", "a", "b"}));
}

TEST_F(CaptureCli, MatchFromTextFile) {
    const QString text = write("text.txt", "Chart\nPatient: Smith, John DOB 01/02/1950");
    const Outcome r = run({"match", "--patients", patientsFile(), "--text-file", text});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QJsonObject result = QJsonDocument::fromJson(r.out).object();
    const QJsonObject proposed = result.value("proposed").toObject();
    EXPECT_EQ(proposed.value("name").toString(), "John Smith");
    EXPECT_EQ(proposed.value("emr_patient_id").toString(), "E42");
    EXPECT_EQ(proposed.value("interaction_id").toInt(), 99);
    const QJsonArray scores = result.value("scores").toArray();
    ASSERT_EQ(scores.size(), 3);
    EXPECT_EQ(scores[0].toObject().value("name").toString(), "Jane Doe");
    EXPECT_NEAR(scores[0].toObject().value("best").toDouble(), 0.3833, 5e-5);
    EXPECT_EQ(scores[1].toObject().value("best").toDouble(), 1.0);
    EXPECT_FALSE(result.contains("text"));
    EXPECT_EQ(result.value("reason").toString(), "name and date of birth");
    EXPECT_TRUE(result.value("dob_on_screen").toBool());
    EXPECT_TRUE(result.value("candidates").toArray().isEmpty());
    EXPECT_EQ(result.value("top_scored").toObject().value("name").toString(), "John Smith");

    // Text from standard input; an empty patient list proposes nobody.
    const Outcome empty =
        run({"match", "--patients", write("none.json", "[]"), "--text-file", "-"}, "Smith, John");
    ASSERT_EQ(empty.exitCode, 0) << empty.err.constData();
    EXPECT_TRUE(QJsonDocument::fromJson(empty.out).object().value("proposed").isNull());
    EXPECT_TRUE(QJsonDocument::fromJson(empty.out).object().value("scores").toArray().isEmpty());
}

// Each kind of decision, from patient files with names only.
TEST_F(CaptureCli, MatchDecisions) {
    auto match = [&](const QByteArray &patients, const QByteArray &text) {
        const Outcome r = run(
            {"match", "--patients", write("p.json", patients), "--text-file", "-", "--today", "2026-12-09"},
            text);
        EXPECT_EQ(r.exitCode, 0) << r.err.constData();
        return QJsonDocument::fromJson(r.out).object();
    };
    const QByteArray namesakes = R"([{"name": "Maria Cruz", "dob": "1990-07-14"},
                                     {"name": "Maria De La Cruz", "dob": "1987-03-22"}])";
    QJsonObject r = match(namesakes, "Patient: DE LA CRUZ, MARIA\nMRN 4521987");
    EXPECT_EQ(r.value("proposed").toObject().value("name").toString(), "Maria De La Cruz");
    EXPECT_EQ(r.value("reason").toString(), "name");
    EXPECT_FALSE(r.value("dob_on_screen").toBool());
    EXPECT_FALSE(r.value("top_scored").isNull()) << "the plain matching's result stays visible";
    EXPECT_EQ(r.value("scores").toArray().size(), 2);

    r = match(namesakes, "Laboratory results\nHemoglobin 13.5 g/dL\nSodium 140 mmol/L");
    EXPECT_TRUE(r.value("proposed").isNull());
    EXPECT_EQ(r.value("reason").toString(), "below floor");
    EXPECT_FALSE(r.value("top_scored").isNull());

    const QByteArray family = R"([{"name": "Mary Smith", "dob": "1982-11-20"},
                                  {"name": "Emma Smith", "dob": "2015-06-03"}])";
    r = match(family, "Patient: Smith, Emma\nGuardian: Smith, Mary");
    EXPECT_EQ(r.value("proposed").toObject().value("name").toString(), "Emma Smith");
    EXPECT_EQ(r.value("reason").toString(), "name");
    EXPECT_EQ(r.value("check").toString(), "DOB not on screen");
    EXPECT_EQ(r.value("scores").toArray().at(0).toObject().value("found").toString(), "named elsewhere");
    EXPECT_EQ(
        r.value("subject").toObject(),
        QJsonObject(
            {{"name", "Smith, Emma"}, {"dob", QJsonValue()}, {"age", QJsonValue()}, {"where", "label"}}));
    r = match(family, "Patient: Smith, Mary  DOB 06/03/2015");
    EXPECT_TRUE(r.value("proposed").isNull());
    EXPECT_EQ(r.value("reason").toString(), "date of birth differs");
    EXPECT_EQ(r.value("contradicted").toObject().value("name").toString(), "Mary Smith");
    EXPECT_EQ(r.value("check").toString(), "DOB 06/03/2015 on screen is not Mary Smith's");
    EXPECT_EQ(r.value("candidates").toArray(), QJsonArray({"Mary Smith", "Emma Smith"}));
    // The record of someone not booked, and ages counted at --today.
    r = match(family, "Patient: Smith, Jonah  DOB 01/02/2003\nGuardian: Smith, Mary");
    EXPECT_TRUE(r.value("proposed").isNull());
    EXPECT_EQ(r.value("reason").toString(), "not on today's list");
    EXPECT_EQ(r.value("check").toString(),
              "The record on screen is for Smith, Jonah, who is not on today's list");
    EXPECT_EQ(r.value("subject").toObject().value("dob").toString(), "01/02/2003");
    r = match(family, "SMITH, MARY  F  44 yrs");
    EXPECT_EQ(r.value("reason").toString(), "name");
    EXPECT_EQ(r.value("subject").toObject().value("age").toInt(), 44);
    EXPECT_EQ(r.value("subject").toObject().value("where").toString(), "banner");
    r = match(family, "SMITH, MARY  F  30 yrs");
    EXPECT_EQ(r.value("reason").toString(), "age differs");
    EXPECT_EQ(r.value("check").toString(), "Age 30 yrs on screen is not Mary Smith's");
    r = match(family, "Patient: Smith, Emma DOB 06/03/2015\nGuardian: Smith, Mary");
    EXPECT_EQ(r.value("proposed").toObject().value("name").toString(), "Emma Smith");
    EXPECT_EQ(r.value("reason").toString(), "name and date of birth");
    EXPECT_TRUE(r.value("dob_on_screen").toBool());

    // "Last, First" names and the name parts as keys.
    r = match(R"([{"name": "Van der Berg, Patricia"}, {"name": "Patricia Berg"}])", "VAN DER BERG, PATRICIA");
    EXPECT_EQ(r.value("proposed").toObject().value("name").toString(), "Van der Berg, Patricia");
    r = match(R"([{"name": "Ana Garcia Marquez", "first_name": "Ana", "last_name": "Garcia Marquez"},
                  {"name": "Ana Garcia"}])",
              "Garcia Marquez, Ana");
    EXPECT_EQ(r.value("proposed").toObject().value("name").toString(), "Ana Garcia Marquez");
}

TEST_F(CaptureCli, MatchAndOcrFromAnImage) {
    const QString image = dir.filePath("window.png");
    ASSERT_TRUE(renderRecordWindow("DejaVu Sans", 16, "Rossi, Marta").save(image));
    const Outcome r = run({"match", "--patients", patientsFile(), "--image", image});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QJsonObject result = QJsonDocument::fromJson(r.out).object();
    EXPECT_EQ(result.value("proposed").toObject().value("name").toString(), "Marta Rossi");
    EXPECT_TRUE(result.value("text").toString().contains("Rossi, Marta")) << r.out.constData();

    const Outcome ocr = run({"ocr", image});
    ASSERT_EQ(ocr.exitCode, 0) << ocr.err.constData();
    // The colon is read since the whitelist has it.
    EXPECT_TRUE(ocr.out.contains("Patient: Rossi, Marta")) << ocr.out.constData();

    // Without trained data nothing is recognised: status 1 and a reason.
    const Outcome missing = run({"ocr", image}, {}, {{"KELVRA_TESSDATA", dir.filePath("nowhere")}});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(missing.err.contains("nowhere")) << missing.err.constData();
    EXPECT_TRUE(missing.out.isEmpty());
    const Outcome matchMissing =
        run({"match", "--patients", patientsFile(), "--image", image}, {}, {{"KELVRA_TESSDATA", dir.path()}});
    EXPECT_EQ(matchMissing.exitCode, 1);
    EXPECT_TRUE(QJsonDocument::fromJson(matchMissing.out).object().value("text").isNull());
}

// An image taken on a screen of scale 2 is read at its own size: --scale 2
// reads it as well as the same window taken at scale 1.
TEST_F(CaptureCli, OcrTakesTheScreenScale) {
    const QString scaled = dir.filePath("scaled.png");
    QImage image = renderRecordWindow("DejaVu Sans", 16, "Rossi, Marta", QSize(720, 260), 2.0);
    image.setDevicePixelRatio(1.0);
    ASSERT_TRUE(image.save(scaled));
    for (const QStringList &args :
         {QStringList{"ocr", "--scale", "2", scaled}, QStringList{"ocr", "--scale=2.0", scaled}}) {
        const Outcome ocr = run(args);
        ASSERT_EQ(ocr.exitCode, 0) << ocr.err.constData();
        EXPECT_TRUE(ocr.out.contains("Rossi, Marta")) << ocr.out.constData();
    }
    for (const char *bad : {"0", "-1", "nan", "inf", "2x", "", "9"}) {
        const Outcome r = run({"ocr", "--scale", bad, scaled});
        EXPECT_EQ(r.exitCode, 2) << bad;
        EXPECT_TRUE(r.err.contains("--scale")) << r.err.constData();
    }
}

TEST_F(CaptureCli, BadInputIsOneLineAndStatusTwo) {
    const QString patients = patientsFile();
    const QString text = write("text.txt", "Smith, John");
    const QString garbage = write("garbage.png", "\x89PNG\r\n\x1a\n this is not an image");
    expectBadInput(run({"ocr"}));
    expectBadInput(run({"ocr", dir.filePath("missing.png")}));
    expectBadInput(run({"ocr", garbage}));
    expectBadInput(run({"ocr", "a.png", "b.png"}));
    expectBadInput(run({"match", "--text-file", text}));
    expectBadInput(run({"match", "--patients", patients}));
    expectBadInput(run({"match", "--patients", patients, "--text-file", text, "--image", garbage}));
    expectBadInput(run({"match", "--patients", patients, "--image", garbage}));
    expectBadInput(run({"match", "--patients", patients, "--text-file", text, "--today", "tomorrow"}));
    expectBadInput(run({"match", "--patients", dir.filePath("missing.json"), "--text-file", text}));
    expectBadInput(run({"match", "--patients", patients, "--text-file", dir.filePath("missing.txt")}));
    expectBadInput(
        run({"match", "--patients", write("bad.json", "[{\"name\": \"A B\"},"), "--text-file", text}));
    expectBadInput(
        run({"match", "--patients", write("obj.json", "{\"name\": \"A B\"}"), "--text-file", text}));
    for (const QByteArray &entry : {QByteArray("{\"dob\": \"x\"}"), QByteArray("{\"name\": 5}"),
                                    QByteArray("{\"name\": \"  \"}"), QByteArray("\"John Smith\"")}) {
        const Outcome r = run({"match", "--patients", write("p.json", "[{\"name\": \"A B\"}, " + entry + "]"),
                               "--text-file", text});
        expectBadInput(r);
        EXPECT_TRUE(r.err.contains("patient 2")) << r.err.constData();
    }
}

TEST_F(CaptureCli, HelpDescribesEachCommand) {
    for (const char *command : {"ocr", "match", "score"}) {
        const Outcome r = run({command, "--help"});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(r.out.startsWith(QByteArray("Usage: kelvra-capture ") + command)) << r.out.constData();
        EXPECT_TRUE(r.out.contains("Exit status")) << r.out.constData();
    }
    const Outcome list = run({"--help"});
    for (const char *command : {"ocr", "match", "score"})
        EXPECT_TRUE(list.out.contains(command));
}

} // namespace

namespace {

// The demo service as a child process on a free loopback port.
class EmrDemo {
public:
    explicit EmrDemo(const QStringList &options = {}) {
        m_process.start(QStringLiteral(KC_BINARY_DIR "/demo/kelvra-demo-service"),
                        QStringList{"--port", "0", "--data-dir", m_data.path()} + options);
        if (!m_process.waitForStarted(60000))
            return;
        QByteArray line;
        for (int i = 0; i < 600 && !line.contains('\n'); ++i) {
            m_process.waitForReadyRead(100);
            line += m_process.readAllStandardOutput();
        }
        const QByteArray prefix = "kelvra-demo-service listening on ";
        if (line.startsWith(prefix))
            m_url = QUrl(QString::fromUtf8(line.mid(prefix.size(), line.indexOf('\n') - prefix.size())));
    }
    ~EmrDemo() {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
    QUrl url() const { return m_url; }
    QJsonObject state() const {
        QProcess curl;
        curl.start("curl", {"-sf", m_url.resolved(QUrl("demo/state")).toString()});
        curl.waitForFinished(60000);
        return QJsonDocument::fromJson(curl.readAllStandardOutput()).object();
    }

private:
    QTemporaryDir m_data;
    QProcess m_process;
    QUrl m_url;
};

} // namespace

// The patient id and the note travel on standard input (or in a file),
// never on the command line where other users can see them.
TEST_F(CaptureCli, EmrFileTakesTheVisitFromStandardInput) {
    expectBadInput(run({"emr-file", "--config", write("c.json", "{}"), "--patient", "31007", "x.png"}));
    expectBadInput(run({"emr-file", "--config", write("c.json", "{}"), "--note", "rash", "x.png"}));
    expectBadInput(run({"emr-file", "--config", write("c.json", "{}"), "--visit", "-", "x.png"}, "[1, 2]"));
    expectBadInput(
        run({"emr-file", "--config", write("c.json", "{}"), "--visit", "-", "x.png"}, "{\"note\": \"n\"}"));

    QImage image(30, 20, QImage::Format_RGB32);
    image.fill(Qt::darkGreen);
    const QString picture = dir.filePath("picture.png");
    ASSERT_TRUE(image.save(picture));
    // Filed only when the EMR names the new document: a 200 without one (a
    // proxy's page, say) is a failure that shows what the EMR answered.
    for (const bool answersWithoutDocument : {true, false}) {
        EmrDemo demo(answersWithoutDocument
                         ? QStringList{"--fail", "1", "--fail-status", "200", "--fail-path", "/documents"}
                         : QStringList{});
        if (!demo.url().isValid())
            GTEST_SKIP() << "the demo service is not built";
        const QString base = demo.url().toString();
        const QByteArray config =
            QJsonDocument(QJsonObject{{"emrData", QJsonObject{{"base_url", base + "athena/v1/"},
                                                              {"auth_url", base + "athena/oauth2/v1/token"},
                                                              {"api_key", "kelvra-demo-client"},
                                                              {"api_secret", "kelvra-demo-secret"},
                                                              {"emr_data_1", "195900"}}},
                                      {"kelvraKeychain",
                                       QJsonObject{{"enabledEMR", "athenahealth"}, {"departmentID", "1"}}}})
                .toJson();
        QTemporaryDir home;
        const Outcome filed =
            run({"emr-file", "--config", write("config.json", config), "--visit", "-", picture},
                R"({"patient": "31007", "note": "from standard input"})",
                {{"HOME", home.path()},
                 {"XDG_DATA_HOME", home.filePath("data")},
                 {"QT_QPA_PLATFORM", "offscreen"}});
        const QJsonArray documents = demo.state().value("emr_documents").toArray();
        if (answersWithoutDocument) {
            EXPECT_EQ(filed.exitCode, 1);
            EXPECT_TRUE(filed.err.contains("names no new document") && filed.err.contains("injected fault"))
                << filed.err.constData();
            EXPECT_TRUE(documents.isEmpty());
        } else {
            ASSERT_EQ(filed.exitCode, 0) << filed.err.constData();
            EXPECT_TRUE(filed.out.contains("as document ")) << filed.out.constData();
            ASSERT_EQ(documents.size(), 1);
            EXPECT_EQ(documents.first().toObject().value("patient_id").toString(), "31007");
            EXPECT_EQ(documents.first().toObject().value("internalnote").toString().section(' ', 0, 2),
                      "from standard input");
        }
        // Nothing of the patient stays behind on this computer.
        QDirIterator left(home.path(), {"*.pdf"}, QDir::Files, QDirIterator::Subdirectories);
        EXPECT_FALSE(left.hasNext()) << left.next().toStdString();
    }
}

// Core files would hold patient images, names and the password.
TEST_F(CaptureCli, NoCoreFiles) {
    QProcess process;
    // Waits for the visit on standard input, which stays open.
    process.start(KC_CAPTURE_BINARY,
                  {"emr-file", "--config", dir.filePath("none.json"), "--visit", "-", "x.png"});
    ASSERT_TRUE(process.waitForStarted(60000));
    // Until main() has run the limits are the inherited ones (here: soft 0,
    // hard unlimited); the hard limit at 0 shows that the program set it.
    QRegularExpression core(QStringLiteral("Max core file size\\s+(\\S+)\\s+(\\S+)"));
    QRegularExpressionMatch match;
    for (int i = 0; i < 100; ++i) {
        QFile file(QStringLiteral("/proc/%1/limits").arg(process.processId()));
        if (file.open(QIODevice::ReadOnly))
            match = core.match(QString::fromLatin1(file.readAll()));
        if (match.hasMatch() && match.captured(1) == "0" && match.captured(2) == "0")
            break;
        QThread::msleep(50);
    }
    EXPECT_EQ(match.captured(1), "0");
    EXPECT_EQ(match.captured(2), "0");
    process.kill();
    process.waitForFinished(10000);
}
