// A plain libmodbus RTU server on one tty: the peer varnel-emu's latency is compared with.
#include <errno.h>
#include <modbus.h>
#include <stdio.h>

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: peer-modbus-rtu-server TTY\n");
        return 2;
    }
    modbus_t* ctx = modbus_new_rtu(argv[1], 115200, 'N', 8, 1);
    if (ctx == NULL || modbus_set_slave(ctx, 1) == -1 || modbus_connect(ctx) == -1) {
        fprintf(stderr, "peer-modbus-rtu-server: cannot open %s: %s\n", argv[1], modbus_strerror(errno));
        modbus_free(ctx);
        return 1;
    }
    modbus_mapping_t* map = modbus_mapping_new(0, 0, 16, 0);
    if (map == NULL) {
        fprintf(stderr, "peer-modbus-rtu-server: %s\n", modbus_strerror(errno));
        modbus_close(ctx);
        modbus_free(ctx);
        return 1;
    }
    // Known contents, so that the client can check every reply byte.
    for (int i = 0; i < 16; ++i)
        map->tab_registers[i] = (uint16_t)(0x1000 + i);
    // The client starts timing only after this line.
    printf("ready on %s\n", argv[1]);
    fflush(stdout);

    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    int status = 0;
    for (;;) {
        const int rc = modbus_receive(ctx, query);
        if (rc > 0) {
            modbus_reply(ctx, query, rc, map);
        } else if (rc == -1 && errno != EMBBADCRC) {
            // The line went away: the pair was closed.
            fprintf(stderr, "peer-modbus-rtu-server: %s: %s\n", argv[1], modbus_strerror(errno));
            status = 1;
            break;
        }
    }
    modbus_mapping_free(map);
    modbus_close(ctx);
    modbus_free(ctx);
    return status;
}
