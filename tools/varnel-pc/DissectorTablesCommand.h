#pragma once

#include "tools/varnel-pc/SubCommand.h"

#include <QString>

#include <iosfwd>

// varnel-pc dissector-tables (listed as internal): prints the Lua tables of the Wireshark
// dissector, the commands and the record fields, from the C++ tables. The block between
// the markers in tools/wireshark/varnel.lua is this output; a test keeps them equal.
class DissectorTablesCommand : public SubCommand
{
public:
    explicit DissectorTablesCommand(std::ostream& out, std::ostream& err);

    int run(const QStringList& args) override;
    QString usage() const override;

    static QString tables();

private:
    std::ostream& m_out;
    std::ostream& m_err;
};
