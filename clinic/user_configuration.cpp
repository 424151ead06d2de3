#include "clinic/user_configuration.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>

namespace {

QVariant fromJsonValue(const QJsonValue &value) {
    switch (value.type()) {
    case QJsonValue::Null:
        return QVariant::fromValue(nullptr);
    case QJsonValue::Undefined:
        return QVariant();
    case QJsonValue::Array:
        return kcDeepMutableCopy(QVariant(value.toArray()));
    case QJsonValue::Object:
        return kcDeepMutableCopy(QVariant(value.toObject()));
    default:
        return value.toVariant();
    }
}

template <typename Map> QVariantMap copyOfMap(const Map &source) {
    QVariantMap copy;
    for (auto it = source.constBegin(); it != source.constEnd(); ++it)
        copy.insert(it.key(), kcDeepMutableCopy(it.value()));
    return copy;
}

} // namespace

QVariant kcDeepMutableCopy(const QVariant &object) {
    switch (object.typeId()) {
    case QMetaType::QVariantList: {
        const QVariantList source = object.toList();
        QVariantList copy;
        copy.reserve(source.size());
        for (const QVariant &element : source)
            copy.append(kcDeepMutableCopy(element));
        return copy;
    }
    case QMetaType::QStringList: {
        const QStringList source = object.toStringList();
        QVariantList copy;
        copy.reserve(source.size());
        for (const QString &element : source)
            copy.append(element);
        return copy;
    }
    case QMetaType::QJsonArray: {
        const QJsonArray source = object.toJsonArray();
        QVariantList copy;
        copy.reserve(source.size());
        for (const QJsonValue &element : source)
            copy.append(fromJsonValue(element));
        return copy;
    }
    case QMetaType::QVariantMap:
        return copyOfMap(object.toMap());
    case QMetaType::QVariantHash:
        return copyOfMap(object.toHash());
    case QMetaType::QJsonObject: {
        const QJsonObject source = object.toJsonObject();
        QVariantMap copy;
        for (auto it = source.constBegin(); it != source.constEnd(); ++it)
            copy.insert(it.key(), fromJsonValue(it.value()));
        return copy;
    }
    case QMetaType::QJsonValue:
        return fromJsonValue(object.toJsonValue());
    case QMetaType::QJsonDocument: {
        const QJsonDocument document = object.toJsonDocument();
        if (document.isArray())
            return kcDeepMutableCopy(QVariant(document.array()));
        if (document.isObject())
            return kcDeepMutableCopy(QVariant(document.object()));
        return QVariant();
    }
    default:
        return object;
    }
}

QVariantMap kcPreferencesFromConfiguration(const QVariant &data) {
    QVariant decoded;
    switch (data.typeId()) {
    case QMetaType::QString:
    case QMetaType::QByteArray: {
        const QByteArray text =
            data.typeId() == QMetaType::QString ? data.toString().toUtf8() : data.toByteArray();
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(text, &error);
        if (error.error == QJsonParseError::NoError && document.isObject())
            decoded = QVariant(document.object());
        break;
    }
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash:
    case QMetaType::QJsonObject:
        decoded = data;
        break;
    case QMetaType::QJsonValue:
        if (data.toJsonValue().isObject())
            decoded = QVariant(data.toJsonValue().toObject());
        break;
    default:
        break;
    }
    if (!decoded.isValid())
        return QVariantMap();
    return kcDeepMutableCopy(decoded).toMap();
}
