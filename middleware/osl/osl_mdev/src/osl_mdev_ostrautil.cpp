/*
 * osl_mdev_ostrautil.cpp - ostrautil entry: argument check, drive discovery,
 * command dispatch and the generic driver request frame.
 *
 * One run performs one command: main checks the arguments, finds the drives
 * with the probe script, converts argv[1] as a hexadecimal command number and
 * calls its handler; a number without a handler goes through the debug words.
 * The exit status only says whether the arguments were acceptable and a drive
 * was found: 255 when not, 0 after any command.
 */
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "osl_mdev_ostrautil.h"

/* drive tables: whole disks (sda) and their partition-5 nodes (sda5) */
static char devname_data[2][10];
static char devname2_data[2][10];
char *devname[3] = {devname_data[0], devname_data[1], nullptr};
char *devname2[3] = {devname2_data[0], devname2_data[1], nullptr};
std::uint32_t port = 0;

namespace {

/* the probe's command line; the drive letter goes in at PROBE_LETTER */
constexpr char PROBE_CMD[] = "/sbin/check_scsi_devfile.sh sd? > /dev/null 2>&1";
constexpr std::size_t PROBE_LETTER = 30;
static_assert(PROBE_CMD[PROBE_LETTER] == '?', "the letter's place in the probe command");

/* value of c as a digit of any base up to 36, or 36 when it is none */
constexpr unsigned int digit_value(char c)
{
	if (c >= '0' && c <= '9')
		return static_cast<unsigned int>(c - '0');
	if (c >= 'a' && c <= 'z')
		return static_cast<unsigned int>(c - 'a') + 10U;
	if (c >= 'A' && c <= 'Z')
		return static_cast<unsigned int>(c - 'A') + 10U;
	return 36U;
}

constexpr bool is_space(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/*
 * The common part of both conversions: blanks, sign, "0x" prefix (base 16),
 * digits.  Gives the magnitude saturated at 2^32 (so that overflow shows) and
 * where the number ended; the end is str itself when there were no digits.
 */
struct parsed_number {
	std::uint64_t magnitude;
	bool negative;
	const char *end;
};

parsed_number parse_number(const char *str, int base)
{
	parsed_number num = {0, false, str};
	const char *p = str;
	bool any = false;
	const auto ubase = static_cast<unsigned int>(base);

	while (is_space(*p))
		p++;
	if (*p == '+' || *p == '-') {
		num.negative = (*p == '-');
		p++;
	}
	if (ubase == 16U && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digit_value(p[2]) < 16U)
		p += 2;
	for (; digit_value(*p) < ubase; p++) {
		any = true;
		num.magnitude = num.magnitude * ubase + digit_value(*p);
		if (num.magnitude > UINT32_MAX)
			num.magnitude = std::uint64_t{UINT32_MAX} + 1U;
	}
	if (any)
		num.end = p;
	return num;
}

} // namespace

std::uint32_t ostrautil_strtoul(const char *str, char **end, int base)
{
	const parsed_number num = parse_number(str, base);
	std::uint32_t value = UINT32_MAX;

	if (num.magnitude <= UINT32_MAX) {
		value = static_cast<std::uint32_t>(num.magnitude);
		if (num.negative)
			value = 0U - value;
	}
	if (end != nullptr)
		*end = const_cast<char *>(num.end);
	return value;
}

std::int32_t ostrautil_strtol(const char *str, char **end, int base)
{
	const parsed_number num = parse_number(str, base);
	std::int32_t value = 0;

	if (num.negative)
		value = (num.magnitude >= std::uint64_t{1} << 31U)
				? INT32_MIN
				: -static_cast<std::int32_t>(num.magnitude);
	else
		value = (num.magnitude > INT32_MAX) ? INT32_MAX
						    : static_cast<std::int32_t>(num.magnitude);
	if (end != nullptr)
		*end = const_cast<char *>(num.end);
	return value;
}

int ostrautil_make_devfile(char (&devfile)[OSTRAUTIL_DEVFILE_LEN], const char *prefix,
			   const char *name, const char *func, int line)
{
	int retcode = ERROR;
	const std::size_t prefix_len = std::strlen(prefix);
	const std::size_t name_len = std::strlen(name);

	std::memset(devfile, 0, sizeof(devfile));
	if (prefix_len + name_len >= sizeof(devfile)) {
		std::printf("%s(%d):Invalid parameter error - device name too long\n", func, line);
		goto end;
	}
	std::memcpy(devfile, prefix, prefix_len);
	std::memcpy(devfile + prefix_len, name, name_len);
	retcode = OK;
end:
	return retcode;
}

int ostrautil_issue_requests(const ostrautil_frame &frame)
{
	char devfile[OSTRAUTIL_DEVFILE_LEN];
	const char *path = frame.node;
	const ostrautil_request *req = nullptr;
	std::uint32_t round = 0;
	std::uint32_t sent = 0;
	int slot = 0;
	int err = 0;
	int devfp = -1;
	bool failed = true; /* nothing sent is a failure too */
	bool stop = false;
	int retcode = ERROR;

	if ((frame.how & OSTRAUTIL_FRAME_PATH) == 0) {
		if (ostrautil_make_devfile(devfile, "/dev/", frame.node, frame.func, frame.line) !=
		    OK)
			goto end;
		path = devfile;
	}
	devfp = open(path, O_RDWR);
	if (devfp < 0) {
		if ((frame.how & OSTRAUTIL_FRAME_QUIET) == 0)
			std::printf("%s open error\n", path);
		goto end;
	}
	for (round = 0; round < frame.rounds && !stop; round++) {
		for (slot = 0; slot < OSTRAUTIL_FRAME_SLOTS && !stop; slot++) {
			if (frame.req[slot].code == 0)
				continue;
			req = &frame.req[slot];
			if (frame.prepare != nullptr)
				frame.prepare(frame.ctx, sent);
			retcode = ioctl(devfp, req->code, req->arg);
			err = errno;
			sent++;
			failed = retcode < 0 || (req->strict && retcode != 0);
			stop = failed && (frame.how & OSTRAUTIL_FRAME_ALL) == 0;
		}
	}
	close(devfp);
	if (!failed) {
		if ((frame.how & OSTRAUTIL_FRAME_OK) != 0)
			retcode = OK;
		goto end;
	}
	switch (frame.how & OSTRAUTIL_REPORT_FORM) {
	case OSTRAUTIL_REPORT_LINE:
		std::printf("%s(%d):ioctl() error\n", frame.func,
			    req != nullptr && req->line != 0 ? req->line : frame.line);
		break;
	case OSTRAUTIL_REPORT_PLAIN:
		std::printf("ioctl() error\n");
		break;
	case OSTRAUTIL_REPORT_PATH:
		std::printf("%s ioctl error\n", path);
		break;
	default:
		std::printf("%s ioctl error. ret = %d, errno= %d\n", path, retcode, err);
		break;
	}
	if (retcode >= 0)
		retcode = ERROR; /* a strict request's result other than 0 */
end:
	return retcode;
}

int ostrautil_issue_ioctl(char *devfile, unsigned int ioctl_cmd, void *ioctl_arg)
{
	ostrautil_frame frame = {devfile, __func__, __LINE__,
				 OSTRAUTIL_REPORT_LINE | OSTRAUTIL_FRAME_PATH};

	frame.req[0] = {ioctl_cmd, ioctl_arg};
	return ostrautil_issue_requests(frame);
}

/*
 * Drive discovery: the probe script exits 1 or 2 for a live drive, anything
 * else for none.  At most two drives; a third one is an error.
 */
int ostrautil_init(void)
{
	char dev_chk_cmd[sizeof(PROBE_CMD)];
	char name[] = "sd?5"; /* the drive letter goes in at the '?' */
	int cmd_ret = 0;
	int cmd_ret_status = 0;
	int table_num = 0;
	int i = 0;
	int retcode = ERROR;

	std::memcpy(dev_chk_cmd, PROBE_CMD, sizeof(dev_chk_cmd));
	for (i = 'a'; i <= 'h'; i++) {
		dev_chk_cmd[PROBE_LETTER] = static_cast<char>(i);
		cmd_ret = std::system(dev_chk_cmd);
		if ((cmd_ret & 0x7f) != 0) {
			std::printf("error (ostrautil) : ostrautil_init - check_scsi_devfile.sh "
				    "ret error.\n");
			goto end;
		}
		cmd_ret_status = (cmd_ret >> 8) & 0xff;
		if (cmd_ret_status == 1 || cmd_ret_status == 2) {
			if (table_num == 2) {
				std::printf("error (ostrautil) : ostrautil_init - three or more "
					    "HDD/SSD is not "
					    "connectable.\n");
				goto end;
			}
			name[2] = static_cast<char>(i);
			std::memcpy(devname2[table_num], name, sizeof(name));
			std::memcpy(devname[table_num], name, 3);
			devname[table_num][3] = '\0';
			table_num++;
		}
	}
	devname[table_num] = nullptr;
	devname2[table_num] = nullptr;
	port = static_cast<std::uint32_t>(table_num);
	if (table_num == 0) {
		std::printf("error (ostrautil) : ostrautil_init - not connected hdd device.\n");
		goto end;
	}
	retcode = OK;
end:
	return retcode;
}

namespace {

/* H(x) and D(x) of the debug words */
std::uint32_t hex_arg(const char *arg)
{
	return ostrautil_strtoul(arg, nullptr, 16);
}

std::uint32_t dec_arg(const char *arg)
{
	return ostrautil_strtoul(arg, nullptr, 10);
}

/* adapters from a row to the handlers' own arguments */
template <int (*handler)(void)> int no_args(int, char **, const ostrautil_command &)
{
	return handler();
}

template <int (*handler)(char **)> int whole_argv(int, char **argv, const ostrautil_command &)
{
	return handler(argv);
}

template <int (*handler)(int, char *)>
int argc_dev(int argc, char **argv, const ostrautil_command &)
{
	return handler(argc, argv[2]);
}

template <int (*handler)(char *)> int dev_only(int, char **argv, const ostrautil_command &)
{
	return handler(argv[2]);
}

template <int (*handler)(std::uint32_t, char *)>
int cmd_dev(int, char **argv, const ostrautil_command &row)
{
	return handler(row.cmd, argv[2]);
}

/* numeric commands, ended by a null handler; 0x41 to 0x45: argv[3] may be the vector's null */
constexpr ostrautil_command ostrautil_commands[] = {
	{0x12, no_args<ostrautil_sleep_in>},
	{0x13, no_args<ostrautil_sleep_out>},
	{0x21, ostrautil_aes_set_key, "ostrautil_aes_on", keytag, AES_KEYWORDS_128},
	{0x22, ostrautil_aes_set_through, "ostrautil_aes_off"},
	{0x23, ostrautil_aes_set_key, "ostrautil_aes_256_on", keytag256, AES_KEYWORDS_256},
	{0x24, ostrautil_aes_set_through, "ostrautil_aes_256_off"},
	{0x31, whole_argv<ostrautil_issue_owfunc>},
	{0x32, argc_dev<ostrautil_get_owcnt>},
	{0x40, argc_dev<ostrautil_ow_get_mode>},
	{0x41, ostrautil_ow_set, nullptr, nullptr, OVERWRITE_MODE1, OSTRAUTIL_OW_MODE},
	{0x42, ostrautil_ow_set, nullptr, nullptr, OVERWRITE_MODE3, OSTRAUTIL_OW_MODE},
	{0x43, ostrautil_ow_set, nullptr, nullptr, OVERWRITE_MODE0, OSTRAUTIL_OW_MODE},
	{0x44, ostrautil_ow_set, nullptr, nullptr, 0, OSTRAUTIL_OW_FIXDATA},
	{0x45, ostrautil_ow_set, nullptr, nullptr, 0, OSTRAUTIL_OW_PRANDDATA},
	{0x46, argc_dev<ostrautil_ssd_security_erase>},
	{0x51, dev_only<ostratuil_get_smartattr>},
	{0x52, dev_only<ostrautil_get_ssdlife>},
	{0x53, dev_only<ostrautil_get_serial>},
	{0xff, cmd_dev<ostrautil_ow_get_test>},
	{0, nullptr},
};

/*
 * debug words, compared in this order: either a bare driver request sent to
 * argv[2] as a path (handler null), or a handler that needs `nargs` further
 * arguments after argv[2] (`name` is the handler's, for the refusal).
 */
struct ostrautil_dbgword {
	const char *word;
	unsigned int dbgcmd;
	int nargs;
	const char *name;
	int (*handler)(char **argv);
};

/* adapters from the argument vector to the words' handlers, arguments converted in order */
template <int (*handler)(char *)> int by_dev(char **argv)
{
	return handler(argv[2]);
}

template <int (*handler)(char *, std::uint32_t)> int by_dev_dec(char **argv)
{
	return handler(argv[2], dec_arg(argv[3]));
}

int word_uncwrite(char **argv)
{
	const std::uint32_t ssect_hi = hex_arg(argv[3]);

	return ostrautil_write_uncerror(argv[2], ssect_hi, hex_arg(argv[4]));
}

int word_read(char **argv)
{
	const std::uint32_t ssect_hi = hex_arg(argv[3]);
	const std::uint32_t ssect = hex_arg(argv[4]);

	return ostrautil_read_dma(argv[2], ssect_hi, ssect, hex_arg(argv[5]));
}

// clang-format off
constexpr ostrautil_dbgword ostrautil_dbgwords[] = {
	{"hdsleep", ZTOSTRA_HDD_SLEEP, 0, nullptr, nullptr},
	{"hdstandbyimd", ZTOSTRA_HDD_STANDBY_IMD, 0, nullptr, nullptr},
	{"hdflush", ZTOSTRA_HDD_FLUSH_CACHE, 0, nullptr, nullptr},
	{"sleepin", ZTOSTRA_SLEEP_IN, 0, nullptr, nullptr},
	{"sleepout", ZTOSTRA_SLEEP_OUT, 0, nullptr, nullptr},
	{"intr", ZTOSTRA_TEST_24v_DOWN_INTR, 0, nullptr, nullptr},
	{"regr", ZTOSTRA_TEST_REG_READ, 0, nullptr, nullptr},
	{"regw", ZTOSTRA_TEST_REG_WRITE, 0, nullptr, nullptr},
	{"uncwrite", 0, 2, "ostrautil_write_uncerror", word_uncwrite},
	{"read", 0, 3, "ostrautil_read_dma", word_read},
	{"ow", 0, 0, "ostrautil_print_owcnt", by_dev<ostrautil_print_owcnt>},
	{"pp", 0, 1, "ostrautil_print_partition", by_dev_dec<ostrautil_print_partition>},
	{"psb", 0, 1, "ostrautil_print_superblock", by_dev_dec<ostrautil_print_superblock>},
	{"ow_clear", ZTOSTRA_CLEAR_TOTAL, 0, nullptr, nullptr},
	{"ow_set_total", 0, 1, "ostrautil_test_set_total", by_dev_dec<ostrautil_test_set_total>},
	{"rotational", 0, 0, "ostrautil_print_def_rotational", by_dev<ostrautil_print_def_rotational>},
	{"identify", 0, 0, "ostrautil_print_identify", by_dev<ostrautil_print_identify>},
	{nullptr, 0, 0, nullptr, nullptr},
};
// clang-format on

} // namespace

int main(int argc, char *argv[])
{
	std::uint32_t cmd = 0;
	int retcode = ERROR;
	unsigned int dbgcmd = 0;
	void *dbgarg = nullptr;
	const ostrautil_command *command = nullptr;
	const ostrautil_dbgword *word = nullptr;

	if (argc <= 2 || argv == nullptr || argv[1] == nullptr || argv[2] == nullptr) {
		std::printf("error (ostrautil) : invalid parameter - argc, argv.\n");
		goto end;
	}
	retcode = ostrautil_init();
	if (retcode != OK)
		goto end;

	cmd = ostrautil_strtoul(argv[1], nullptr, 16);
	for (command = ostrautil_commands; command->handler != nullptr; command++) {
		if (command->cmd == cmd) {
			(void)command->handler(argc, argv, *command);
			goto end;
		}
	}

	for (word = ostrautil_dbgwords; word->word != nullptr; word++) {
		if (std::strcmp(word->word, argv[1]) == 0)
			break;
	}
	if (word->word == nullptr) {
		std::printf("Unknown command\n");
	} else if (word->handler == nullptr) {
		dbgcmd = word->dbgcmd;
		(void)ostrautil_issue_ioctl(argv[2], dbgcmd, dbgarg);
	} else if (argc - 3 < word->nargs) {
		std::printf("%s(%d):Invalid parameter error\n", word->name, __LINE__);
	} else {
		(void)word->handler(argv);
	}
end:
	return retcode;
}
