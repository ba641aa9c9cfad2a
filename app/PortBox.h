// The port box's entries: each port's name as the list names it (so port numbers and stored
// settings keep working), its identity key, a short description shown greyed after the name
// where the list has room, and everything known as its tool tip.
#pragma once

#include "VaPortIdentity.h"

#include <QString>

#include <string>

class QComboBox;

namespace portbox {

// Shows each entry's description greyed after its name.
void install(QComboBox* box);
// Appends the entry of a port that is there.
void addPort(QComboBox* box, const TVaPortIdentity& port);
// Inserts at index an entry kept for a device that has gone (the selected one, so the selection
// stays).
void insertAbsent(QComboBox* box, int index, const QString& name, const std::string& key, const QString& description);

std::string key(const QComboBox* box, int index);
QString description(const QComboBox* box, int index);
bool absent(const QComboBox* box, int index);
// The entry of a present port with this identity key; -1 when none.
int findKey(const QComboBox* box, const std::string& key);

} // namespace portbox
