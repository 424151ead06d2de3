#include "clinic/user_configuration.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <gtest/gtest.h>

namespace {

bool isNullMarker(const QVariant &v) {
    return v.typeId() == QMetaType::Nullptr;
}

} // namespace

TEST(UserConfiguration, NullOrMissingDataGivesEmptyDictionary) {
    for (const QVariant &data : {QVariant::fromValue(nullptr), QVariant(), QVariant(42), QVariant(true)}) {
        const QVariantMap preferences = kcPreferencesFromConfiguration(data);
        EXPECT_TRUE(preferences.isEmpty());
    }
}

TEST(UserConfiguration, TextThatIsNotAnObjectGivesEmptyDictionary) {
    for (const char *text : {"", "{", "not json", "[1,2]", "\"text\"", "12", "null", "{\"a\":1} trailing"})
        EXPECT_TRUE(kcPreferencesFromConfiguration(QString::fromUtf8(text)).isEmpty()) << text;
}

TEST(UserConfiguration, EmrDataObjectAndNullKeychain) {
    const QVariantMap preferences = kcPreferencesFromConfiguration(
        QStringLiteral(R"({"emrData":{"base_url":"https://emr.example/v1/"},"kelvraKeychain":null})"));
    ASSERT_EQ(preferences.size(), 2);
    const QVariant emrData = preferences.value("emrData");
    ASSERT_EQ(emrData.typeId(), QMetaType::QVariantMap);
    EXPECT_EQ(emrData.toMap().value("base_url").toString(), "https://emr.example/v1/");
    EXPECT_TRUE(isNullMarker(preferences.value("kelvraKeychain")));
}

TEST(UserConfiguration, EmptyObjectAndUnknownKeysAndNonAsciiText) {
    EXPECT_TRUE(kcPreferencesFromConfiguration(QStringLiteral("{}")).isEmpty());
    const QVariantMap preferences = kcPreferencesFromConfiguration(QStringLiteral(
        R"({"kelvraKeychain":{"enabledEMR":"athenahealth","departmentIDs":"1,2","allProvidersArray":[{"n":"Zoë"}]},
            "somethingElse":[1,null,"x"]})"));
    const QVariantMap keychain = preferences.value("kelvraKeychain").toMap();
    EXPECT_EQ(keychain.value("enabledEMR").toString(), "athenahealth");
    const QVariantList providers = keychain.value("allProvidersArray").toList();
    ASSERT_EQ(providers.size(), 1);
    ASSERT_EQ(providers.first().typeId(), QMetaType::QVariantMap);
    EXPECT_EQ(providers.first().toMap().value("n").toString(), QString::fromUtf8("Zoë"));
    const QVariantList other = preferences.value("somethingElse").toList();
    ASSERT_EQ(other.size(), 3);
    EXPECT_TRUE(isNullMarker(other.at(1)));
}

TEST(UserConfiguration, DecodedObjectAndUtf8BytesAreAccepted) {
    const QVariantMap decoded{{"emrData", QVariantMap{{"api_key", "k"}}}};
    EXPECT_EQ(kcPreferencesFromConfiguration(decoded), decoded);
    EXPECT_EQ(kcPreferencesFromConfiguration(QByteArray(R"({"emrData":{"api_key":"k"}})")), decoded);
}

TEST(DeepMutableCopy, JsonContainersBecomeEditableContainersAtEveryDepth) {
    const QJsonObject inner{{"id", "7"}, {"tags", QJsonArray{"a", "b"}}};
    const QJsonObject source{{"list", QJsonArray{inner, QJsonArray{inner}}}, {"none", QJsonValue()}};
    const QVariant copy = kcDeepMutableCopy(QVariant(source));
    ASSERT_EQ(copy.typeId(), QMetaType::QVariantMap);
    const QVariantList list = copy.toMap().value("list").toList();
    ASSERT_EQ(list.size(), 2);
    ASSERT_EQ(list.at(0).typeId(), QMetaType::QVariantMap);
    EXPECT_EQ(list.at(0).toMap().value("tags").typeId(), QMetaType::QVariantList);
    ASSERT_EQ(list.at(1).typeId(), QMetaType::QVariantList);
    EXPECT_EQ(list.at(1).toList().at(0).typeId(), QMetaType::QVariantMap);
    EXPECT_TRUE(isNullMarker(copy.toMap().value("none")));
}

TEST(DeepMutableCopy, HashesAndStringListsAreConvertedAndScalarsShared) {
    const QString text = QStringLiteral("shared text");
    const QVariantHash hash{{"names", QStringList{"x", "y"}}, {"text", text}};
    const QVariantMap copy = kcDeepMutableCopy(QVariantList{hash}).toList().value(0).toMap();
    EXPECT_EQ(copy.value("names").typeId(), QMetaType::QVariantList);
    EXPECT_EQ(copy.value("names").toList(), (QVariantList{"x", "y"}));
    // Text is not copied: the copy refers to the very same characters.
    EXPECT_EQ(copy.value("text").toString().constData(), text.constData());
    const QVariant number(3.5);
    EXPECT_EQ(kcDeepMutableCopy(number), number);
    EXPECT_TRUE(isNullMarker(kcDeepMutableCopy(QVariant::fromValue(nullptr))));
    EXPECT_FALSE(kcDeepMutableCopy(QVariant()).isValid());
}

TEST(DeepMutableCopy, EditingTheCopyLeavesTheSourceAlone) {
    const QVariantMap source{{"emrData", QVariantMap{{"ids", QVariantList{QVariantMap{{"id", "1"}}}}}}};
    QVariantMap copy = kcDeepMutableCopy(source).toMap();
    QVariantMap emrData = copy["emrData"].toMap();
    QVariantList ids = emrData["ids"].toList();
    QVariantMap first = ids[0].toMap();
    first["id"] = "changed";
    ids[0] = first;
    emrData["ids"] = ids;
    copy["emrData"] = emrData;
    EXPECT_EQ(source.value("emrData").toMap().value("ids").toList().value(0).toMap().value("id"), "1");
    EXPECT_EQ(copy.value("emrData").toMap().value("ids").toList().value(0).toMap().value("id"), "changed");
}
