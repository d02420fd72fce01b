#include "protocol/CommandCatalogue.h"

const CommandCatalogue::Entry* CommandCatalogue::find(std::uint8_t code)
{
    return isCommand(code) ? &kEntries[code - 1] : nullptr;
}

const CommandCatalogue::Entry& CommandCatalogue::entry(Command command)
{
    return kEntries[toCode(command) - 1];
}

QString commandName(std::uint8_t code)
{
    const CommandCatalogue::Entry* entry = CommandCatalogue::find(code);
    return entry ? QString::fromUtf8(entry->protocolName) : QString();
}

QString commandGloss(std::uint8_t code)
{
    const CommandCatalogue::Entry* entry = CommandCatalogue::find(code);
    return entry ? QString::fromUtf8(entry->cliName) : QString();
}

std::optional<Command> commandFromGloss(const QString& gloss)
{
    for (const CommandCatalogue::Entry& entry : CommandCatalogue::kEntries) {
        if (gloss == QLatin1String(entry.cliName))
            return entry.command;
    }
    return std::nullopt;
}
