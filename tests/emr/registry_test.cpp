#include "emr/emr_api_client.h"

#include <QDate>
#include <QRegularExpression>
#include <QTimeZone>
#include <QUrlQuery>
#include <gtest/gtest.h>

namespace {

// An EMR client that records what the registry tells it.
class RecordingClient : public EMRAPIDelegate {
public:
    void setKelvraKeychain(const QVariantMap &k) override {
        kelvraKeychain = k;
        ++keychainSets;
    }
    void setEmrData(const QVariantMap &d) override { emrData = d; }
    void updateAuthStatus() override { ++authUpdates; }
    void initWithBaseURL(const QUrl &) override {}

    QVariantMap kelvraKeychain, emrData;
    int keychainSets = 0;
    int authUpdates = 0;
};

const QString kAthenaClass = QStringLiteral("QDAthenahealthAPIClientForExtension");

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        registry().setDelegate(nullptr);
        // The athenahealth slot answers with a recording client here; the real
        // client is exercised against the demo EMR in its own tests.
        saved = registry().clientFactoryForClassName(kAthenaClass);
        registry().registerClientFactory(kAthenaClass, [this] { return fake; });
    }
    void TearDown() override {
        registry().registerClientFactory(kAthenaClass, saved);
        registry().setDelegate(nullptr);
    }
    static EMRAPIClient &registry() { return EMRAPIClient::sharedEMRAPIClient(); }

    static QVariantMap preferences(const QVariant &keychain) {
        QVariantMap emrData{{"base_url", "https://emr.test/v1/"}, {"emr_data_1", "195900"}};
        return {{"emrData", emrData}, {"kelvraKeychain", keychain}, {"other", 1}};
    }

    std::shared_ptr<RecordingClient> fake = std::make_shared<RecordingClient>();
    EMRAPIClient::ClientFactory saved;
};

// The six EMRs of the original table exactly as they were, and "fhir".
TEST_F(RegistryTest, TableHoldsTheSixEMRsExactlyAndFHIR) {
    const QVariantMap &t = registry().supportedEMRs;
    ASSERT_EQ(t.size(), 7);
    struct Row {
        const char *key, *enabled, *delegateClass, *icon;
    } rows[] = {{"drchrono", "true", "QDdrchronoAPIClient", "drchrono-bw"},
                {"athenahealth", "true", "QDAthenahealthAPIClient", "athenahealth-bw"},
                {"kelvrademoemr", "true", "QDKelvraDemoEMRAPIClient", "KelvraDemoEMR-bw"},
                {"greenway", "false", nullptr, "greenway-bw"},
                {"epic", "false", nullptr, "epic-bw"},
                {"allscripts", "false", nullptr, "allScripts-bw"},
                {"fhir", "true", "QDFHIRAPIClient", "fhir-bw"}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.key);
        const QVariantMap e = t.value(r.key).toMap();
        EXPECT_EQ(e.value("enabled").metaType().id(), QMetaType::QString);
        EXPECT_EQ(e.value("enabled").toString(), r.enabled);
        EXPECT_EQ(e.value("icon_gray").toString(), r.icon);
        if (r.delegateClass) {
            EXPECT_EQ(e.value("delegate_class").toString(), r.delegateClass);
            EXPECT_TRUE(e.contains("auth_parameters"));
            EXPECT_EQ(e.size(), 4);
        } else {
            EXPECT_EQ(e.size(), 2) << "only enabled and icon_gray";
        }
    }
    EXPECT_EQ(t.value("athenahealth").toMap().value("auth_parameters").metaType().id(), QMetaType::Nullptr);
    EXPECT_EQ(t.value("kelvrademoemr").toMap().value("auth_parameters").metaType().id(), QMetaType::Nullptr);
    EXPECT_EQ(t.value("fhir").toMap().value("auth_parameters").metaType().id(), QMetaType::Nullptr);

    const QVariantMap auth = t.value("drchrono").toMap().value("auth_parameters").toMap();
    const QUrl initial(auth.value("initial_URL").toString());
    EXPECT_EQ(initial.path(), "/o/authorize/");
    const auto items = QUrlQuery(initial).queryItems();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0].first, "redirect_uri");
    EXPECT_TRUE(items[0].second.startsWith("http://"));
    EXPECT_EQ(items[1], qMakePair(QString("response_type"), QString("code")));
    EXPECT_EQ(items[2].first, "client_id");
    EXPECT_TRUE(QRegularExpression("^[A-Za-z0-9]{64}$").match(items[2].second).hasMatch());
    EXPECT_TRUE(auth.value("final_URL").toString().startsWith("https://"));
}

TEST_F(RegistryTest, SingleInstance) {
    EXPECT_EQ(&EMRAPIClient::sharedEMRAPIClient(), &registry());
    EXPECT_EQ(registry().delegate(), nullptr);
}

TEST_F(RegistryTest, AthenahealthBecomesTheDelegateAndRenewsItsToken) {
    const QVariantMap keychain{{"enabledEMR", "athenahealth"}, {"departmentID", "1"}};
    const QVariantMap prefs = preferences(keychain);
    registry().extensionCheckCurrentEMR(prefs.value("emrData"), prefs);
    EXPECT_EQ(registry().delegate(), fake);
    EXPECT_EQ(fake->kelvraKeychain, keychain);
    EXPECT_EQ(fake->emrData, prefs.value("emrData").toMap());
    EXPECT_EQ(fake->authUpdates, 1);
    EXPECT_EQ(registry().kelvraKeychain.toMap(), keychain);
}

TEST_F(RegistryTest, EMRsWithoutAClientLeaveNoDelegate) {
    for (const char *emr : {"epic", "drchrono", "kelvrademoemr", "greenway", "allscripts", "nosuchemr"}) {
        SCOPED_TRACE(emr);
        registry().setDelegate(fake);
        const QVariantMap prefs = preferences(QVariantMap{{"enabledEMR", emr}});
        registry().extensionCheckCurrentEMR(prefs.value("emrData"), prefs);
        EXPECT_EQ(registry().delegate(), nullptr);
    }
    EXPECT_EQ(fake->authUpdates, 0);
}

TEST_F(RegistryTest, NullKeychainEmptiesTheDelegatesKeychainOnly) {
    const QVariantMap first = preferences(QVariantMap{{"enabledEMR", "athenahealth"}});
    registry().extensionCheckCurrentEMR(first.value("emrData"), first);
    ASSERT_EQ(fake->authUpdates, 1);

    for (const QVariant &keychain : {QVariant::fromValue(nullptr), QVariant(QVariantMap())}) {
        fake->kelvraKeychain = {{"stale", 1}};
        const QVariantMap prefs = preferences(keychain);
        registry().extensionCheckCurrentEMR(prefs.value("emrData"), prefs);
        EXPECT_TRUE(fake->kelvraKeychain.isEmpty());
        EXPECT_EQ(fake->authUpdates, 1) << "no token renewal";
        EXPECT_EQ(registry().delegate(), fake);
        EXPECT_EQ(registry().kelvraKeychain.toMap().value("enabledEMR"), "athenahealth");
    }
    // Without a delegate there is nobody to tell.
    registry().setDelegate(nullptr);
    const QVariantMap prefs = preferences(QVariant::fromValue(nullptr));
    registry().extensionCheckCurrentEMR(prefs.value("emrData"), prefs);
    EXPECT_EQ(registry().delegate(), nullptr);
}

TEST_F(RegistryTest, EmptyEmrDataChangesNothing) {
    registry().setDelegate(fake);
    QVariantMap prefs = preferences(QVariantMap{{"enabledEMR", "epic"}});
    prefs.insert("emrData", QVariantMap());
    registry().extensionCheckCurrentEMR(prefs.value("emrData"), prefs);
    registry().extensionCheckCurrentEMR(QVariant(), prefs);
    registry().extensionCheckCurrentEMR(QVariant::fromValue(nullptr), prefs);
    EXPECT_EQ(registry().delegate(), fake);
    EXPECT_EQ(fake->keychainSets, 0);
    EXPECT_EQ(fake->authUpdates, 0);
}

TEST_F(RegistryTest, KeychainWithoutChoiceKeepsTheDelegateAndRenews) {
    const QVariantMap prefs = preferences(QVariantMap{{"departmentID", "7"}});
    registry().extensionCheckCurrentEMR(prefs.value("emrData"), prefs);
    EXPECT_EQ(registry().delegate(), nullptr);
    EXPECT_EQ(fake->authUpdates, 0);

    registry().setDelegate(fake);
    registry().extensionCheckCurrentEMR(prefs.value("emrData"), prefs);
    EXPECT_EQ(registry().delegate(), fake);
    EXPECT_EQ(fake->authUpdates, 1);
    EXPECT_EQ(fake->keychainSets, 0) << "the delegate's settings are only replaced with a choice";
}

TEST(RegistryDates, IsDateTodayCoversTheWholeLocalDay) {
    const QDate today = QDate::currentDate();
    EXPECT_TRUE(EMRAPIClient::isDateToday(QDateTime(today, QTime(0, 0, 0))));
    EXPECT_TRUE(EMRAPIClient::isDateToday(QDateTime(today, QTime(23, 59, 59, 999))));
    EXPECT_TRUE(EMRAPIClient::isDateToday(QDateTime::currentDateTime()));
    EXPECT_TRUE(EMRAPIClient::isDateToday(QDateTime::currentDateTimeUtc()));
    EXPECT_FALSE(EMRAPIClient::isDateToday(QDateTime(today.addDays(-1), QTime(23, 59, 59))));
    EXPECT_FALSE(EMRAPIClient::isDateToday(QDateTime(today.addDays(1), QTime(0, 0, 0))));
    EXPECT_FALSE(EMRAPIClient::isDateToday(QDateTime()));
}

TEST(RegistryCopies, DeepMutableCopyKeepsEveryValue) {
    const QVariantMap nested{{"a", QVariantList{QVariantMap{{"b", "c"}}}},
                             {"n", QVariant::fromValue(nullptr)}};
    const QVariant copy = EMRAPIClient::deepMutableCopy(nested);
    EXPECT_EQ(copy.toMap(), nested);
    EXPECT_EQ(copy.toMap().value("n").metaType().id(), QMetaType::Nullptr);
}

} // namespace
