// emuctl: command-line control of the emulated UPS devices.
//   emuctl <command> [args...]   one command, answer on stdout, exit 0/1
//   emuctl serve                 one command per stdin line, one answer line each
#include "emu_client.h"

#include <stdio.h>
#include <string.h>

static const char kUsage[] =
    "usage: emuctl <command>\n"
    "  install-driver [dir]            copy corvane_emu.inf/.sys into the prefix\n"
    "  profiles | list | now\n"
    "  add <slot> <profile> [product=.. manufacturer=.. serial=.. vid=.. pid=..]\n"
    "  add-file <slot> <descriptor.bin> [options as for add]\n"
    "  remove <slot> | exists <slot>\n"
    "  fields <slot> | profile-fields <profile> | dump <profile> <file>\n"
    "  set <slot> name=value ...      (value '#N' is raw; name.qualifier, name#k)\n"
    "  get <slot> name\n"
    "  report <slot> <id> [hex]       get or set raw feature report bytes\n"
    "  input <slot> <id> [hex]        the same for an input report\n"
    "  poke <slot> <id> <offset> <hex>\n"
    "  fail <slot> all|none|report=N|status=NTSTATUS\n"
    "  delay <slot> <ms> | count <slot> | times <slot> | reset-log <slot>\n"
    "  serve                          read commands from stdin, one per line\n";

int main(int argc, char **argv)
{
    // Room for the longest answer: the fields of a device with
    // EMU_MAX_FIELDS fields, each with its long name.
    static char answer[1 << 16];
    if (argc < 2 || !strcmp(argv[1], "-h") || !strcmp(argv[1], "--help")) {
        fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    if (!strcmp(argv[1], "serve")) {
        char line[4096];
        printf("ready\n");
        fflush(stdout);
        while (fgets(line, sizeof(line), stdin)) {
            size_t n = strcspn(line, "\r\n");
            line[n] = 0;
            if (!strcmp(line, "quit") || !strcmp(line, "exit")) break;
            if (!line[0]) continue;
            emu_command(line, answer, sizeof(answer));
            printf("%s\n", answer);
            fflush(stdout);
        }
        return 0;
    }
    // Re-quote arguments containing spaces so the shared parser sees them whole.
    char line[8192];
    size_t len = 0;
    for (int i = 1; i < argc && len < sizeof(line); i++) {
        bool space = strchr(argv[i], ' ') != NULL || !argv[i][0];
        len += (size_t)snprintf(line + len, sizeof(line) - len, space ? "%s\"%s\"" : "%s%s", i > 1 ? " " : "", argv[i]);
    }
    bool ok = emu_command(line, answer, sizeof(answer));
    printf("%s\n", answer);
    return ok ? 0 : 1;
}
