#pragma once
// The user configuration that the clinic service returns after sign-in,
// turned into the preferences dictionary (top-level keys "emrData" and
// "kelvraKeychain"; any other keys are carried along untouched).
//
// Containers are Qt value types: a QVariantMap handed out is the caller's
// own copy, and editing it never changes the client's dictionary or any
// other reader's copy (copy-on-write). "Mutable" therefore means that every
// container at every depth is a plain QVariantMap or QVariantList that can be
// taken out, edited and put back, never a read-only JSON type such as
// QJsonObject or QJsonArray.

#include <QVariant>
#include <QVariantMap>

// Returns a copy of `object` in which every dictionary and array, at every
// depth, is a QVariantMap or QVariantList:
//   - QVariantList, QStringList and QJsonArray become QVariantList;
//   - QVariantMap, QVariantHash and QJsonObject become QVariantMap;
//   - QJsonValue / QJsonDocument are unwrapped (a JSON null becomes the
//     null marker QVariant::fromValue(nullptr));
//   - anything else (text, numbers, bytes, images, the null marker) is
//     returned unchanged, sharing its data with the original.
QVariant kcDeepMutableCopy(const QVariant &object);

// Turns the "data" value of the configuration answer into the preferences
// dictionary:
//   - the null marker, an absent value, or anything that is not an object
//     gives an empty dictionary;
//   - text (or UTF-8 bytes) is decoded as JSON; text that does not decode,
//     or whose top level is not an object, gives an empty dictionary;
//   - a value that is already a decoded object is taken as it is.
// The result is always the deep mutable copy of the decoded object.
QVariantMap kcPreferencesFromConfiguration(const QVariant &data);
