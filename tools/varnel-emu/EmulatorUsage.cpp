#include "EmulatorUsage.h"

#include "transport/SerialSettings.h"

QString EmulatorUsage::text()
{
    QString choices;
    for (const SerialSettings::Choice& c : SerialSettings::choices())
        choices += QStringLiteral("  --%1 %2 (default %3)\n")
                       .arg(QString::fromLatin1(c.option), -10)
                       .arg(c.texts.join(QLatin1Char(' ')), c.texts.first());
    return QStringLiteral(
               "usage: varnel-emu [--baud TEXT] [--data-bits TEXT] [--stop-bits TEXT] [--parity TEXT]\n"
               "                  [--records N] [--reopen MS] [--scenario FILE] [--fault RULE]...\n"
               "                  [--seed S] [--capture FILE.pcap|FOLDER] [--units FILE] [--journal N]\n"
               "                  [--events FILE] [--state-out FILE] [--first-unit N]\n"
               "                  [--control HOST:PORT [--control-token TOKEN | --control-token-file FILE]]\n"
               "                  ENDPOINT...\n"
               "       varnel-emu --list\n"
               "       varnel-emu --help | --version\n") +
           choices +
           QStringLiteral(
               "  --records    records per upload, 0-99999999 (default 10000)\n"
               "  --reopen     after the line vanished, try to open the port again every MS\n"
               "               milliseconds, 1-3600000; 0 leaves it closed (default 500)\n"
               "  --scenario   a scenario file (JSON): the unit's texts, state, records and faults;\n"
               "               its records.count replaces --records, its faults come before --fault\n"
               "  --fault      make the unit misbehave by RULE (repeatable; rules apply in order)\n"
               "  --seed       seed of the generator behind p=, delay ranges and noise,\n"
               "               0-4294967295 (default 1, or the scenario's seed): the same seed, the same "
               "faults\n"
               "  --capture    write every frame received and sent, and every discarded byte, to\n"
               "               FILE.pcap (created or replaced; open it in Wireshark); with several\n"
               "               units a FOLDER that gets unitN.pcap for each\n"
               "  --journal    events the unit keeps in its journal, 1-10000000 (default 100000)\n"
               "  --events     append every journal event to FILE as one JSON line (FILE may be a FIFO)\n"
               "  --state-out  at the end (quit, SIGTERM, SIGINT), write what the PC program set and\n"
               "               asked to FILE as JSON (replaced whole; a regular file or a new one in a\n"
               "               writable folder, checked at start)\n"
               "  --first-unit number the units from N, 1-999999999 (default 1): in log lines,\n"
               "               journals, state, metrics and the control API, as a larger fleet does\n"
               "  --units      a JSON file of units that differ: {\"units\": [{\"endpoint\": ...,\n"
               "               \"scenario\", \"records\", \"faults\", \"capture\", \"baud\"}]}; the options\n"
               "               are the defaults under it; its units come after the ENDPOINTs\n"
               "  --control    serve the HTTP control API on HOST:PORT (PORT 0 picks a free one, logged\n"
               "               as CONTROL http://HOST:PORT); a HOST other than loopback needs a token\n"
               "  --control-token  every API request must carry \"Authorization: Bearer TOKEN\"\n"
               "  --control-token-file  the token is FILE's one line (kept out of ps); without either\n"
               "               option the environment's VARNEL_CONTROL_TOKEN, when set, is the token\n"
               "ENDPOINT: a serial port name or path | tcp:HOST:PORT | rfc2217:HOST:PORT (the unit\n"
               "  listens; PORT 0 picks a free one, logged as LISTEN ENDPOINT). Each ENDPOINT is one\n"
               "  unit, numbered from 1; with several, every log line names its unit\n"
               "fault RULE: TARGET:ACTION[@WHEN]\n"
               "  TARGET  a command code (2, 0x02) or name (get-time), * for every request,\n"
               "          record for the data frames of an upload\n"
               "  ACTION  drop | delay=MS | delay=MIN-MAX | corrupt-crc | truncate=N | split=K:MS |\n"
               "          noise=N | wrong-command=C | wrong-address=A | duplicate | stall=MS;\n"
               "          record: drop | corrupt-crc | duplicate | truncate=N | stop-after=K\n"
               "  WHEN    N | N-M | every=K | p=P (the N-th matching request since the rule was\n"
               "          added; for record, sequence number N); none: every one. Then, or alone,\n"
               "          comma-separated: after=DURATION (the rule starts that long after it\n"
               "          was added; its counts start then) and for=DURATION (it ends that long\n"
               "          after it started: logs FAULT RULE ended, listed as ended). DURATION:\n"
               "          250ms | 2s | 1.5s | 1m, up to 24 hours. *:drop@after=2s,for=3s\n"
               "control API (JSON; {id} numbers the units from 1; errors are {\"error\": TEXT}):\n"
               "  GET /units | GET /units/{id}/state | GET /units/{id}/journal?after=SEQ&limit=N&type=T&\n"
               "  cmd=NAME_OR_CODE&wait=MS | GET, POST {\"rule\": RULE}, DELETE /units/{id}/faults |\n"
               "  DELETE /units/{id}/faults/{fid} | POST /units/{id}/scenario (a scenario's JSON) |\n"
               "  PUT /units/{id}/records {\"count\": N} | POST /units/{id}/stop | POST /units/{id}/reset |\n"
               "  GET /metrics (Prometheus text) | GET /events (Server-Sent Events of every journal)\n"
               "standard input: stop | records N | fault RULE | fault clear | faults | scenario FILE |\n"
               "  state | state reset | journal [N] | quit;\n"
               "  unit N COMMAND sends a COMMAND to unit N only, a bare one goes to every unit\n"
               "environment (an option on the command line wins): VARNEL_ENDPOINTS (ENDPOINTs\n"
               "  separated by spaces) and VARNEL_UNITS (--units), both only when the command line\n"
               "  names no unit; VARNEL_CONTROL, VARNEL_CONTROL_TOKEN or VARNEL_CONTROL_TOKEN_FILE,\n"
               "  VARNEL_SCENARIO, VARNEL_RECORDS, VARNEL_EVENTS, VARNEL_JOURNAL, VARNEL_FIRST_UNIT as\n"
               "  their options; VARNEL_LOG_FILE=none logs to standard output only, no log file\n");
}
