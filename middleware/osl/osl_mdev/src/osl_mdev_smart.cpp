/*
 * osl_mdev_smart.cpp - drive identity and SMART reporting: the SMART report
 * file with the drive maker and model, the serial number report file and the
 * identify dump.
 *
 *   0x51        /tmp/ostra_smart.info: a header line with maker, model and the
 *               number of known attributes, then 30 lines per drive
 *   0x53        /tmp/ostra_serial.info: model and serial number per drive
 *   "identify"  the 256 identify words of the drive at a full path
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "osl_mdev_ostrautil.h"

namespace {

constexpr const char SMART_INFO_FILE[] = "/tmp/ostra_smart.info";
constexpr const char SERIAL_INFO_FILE[] = "/tmp/ostra_serial.info";

/* rows of the attribute names: row 50 answers for empty slots and unknown ids */
constexpr int SMARTDESC_ROWS = 52;
constexpr int SMARTDESC_CATCHALL = 50;

/* offsets into the identify record as the driver and the block layer return it */
constexpr std::size_t ID_SERIAL_BYTE = std::size_t{2} * ATA_ID_SERNO_OFS;
constexpr std::size_t ID_MODEL_BYTE = std::size_t{2} * ATA_ID_PROD_OFS;

/* the serial report keeps a model of 40 and a serial number of 20 characters */
constexpr int SERIAL_MODEL_ROW = 44;
constexpr int SERIAL_SERIAL_ROW = 24;

static_assert(ATA_ID_PROD_LEN < SMART_MODEL_LENGTH, "a model part always ends with a NUL");
static_assert(ATA_ID_PROD_LEN < SERIAL_MODEL_ROW && ATA_SERNO_LEN < SERIAL_SERIAL_ROW,
	      "report rows hold a whole text and its NUL");
static_assert(std::size_t{2 + SMART_ATTR_AMOUNT * SMART_ATTR_SIZE} <= sizeof(smartinfo::attr),
	      "attribute entries lie within the page");

constexpr smartdescription smartdesc[] = {
	{0x01, 0, "Raw Read Error Rate"},
	{0x02, 0, "Throughput Performance"},
	{0x03, 0, "Spin-up Time"},
	{0x04, 0, "Start/Stop Count"},
	{0x05, 0, "Re-allocated Sector Count"},
	{0x07, 0, "Seek Error Rate"},
	{0x08, 0, "Seek Time Performance"},
	{0x09, 0, "Power-on Hours Count"},
	{0x0A, 0, "Spin-up Retry Count"},
	{0x0B, 0, "Drive Calibration Retry Count"},
	{0x0C, 0, "Drive Power Cycle Count"},
	{0x0D, 0, "Soft Read Error Rate"},
	{0xBF, 0, "G-Sense Error Rate"},
	{0xC0, 0, "Emergency Retract Cycles"},
	{0xC1, 0, "Load/Unload Cycles"},
	{0xC2, 0, "HDA Temperature"},
	{0xC3, 0, "Hardware ECC recovered"},
	{0xC4, 0, "Reallocation Event Count"},
	{0xC5, 0, "Current Pending Sector Count"},
	{0xC6, 0, "Offline Scan Uncorrectable Sector Count"},
	{0xC7, 0, "Ultra DMA CRC Error Rate"},
	{0xC8, 0, "Write(Multi-zone) Error Rate"},
	{0xC9, 0, "Soft Read Error Rate"},
	{0xCA, 0, "Data Address Mark Error"},
	{0xCB, 0, "Run Out Cancel"},
	{0xCC, 0, "Soft ECC Correction"},
	{0xCD, 0, "Thermal Asperity Rate"},
	{0xCE, 0, "Flying Height"},
	{0xCF, 0, "Spin High Current"},
	{0xD0, 0, "Spin Buzz"},
	{0xD1, 0, "Offline Seek Performance"},
	{0xD2, 0, "Vibration During Write"},
	{0xD3, 0, "Vibration During Read"},
	{0xD4, 0, "Shock During Write"},
	{0xDC, 0, "Disk Shift"},
	{0xDD, 0, "G-Sense Error Rate"},
	{0xDE, 0, "Loaded Hours"},
	{0xDF, 0, "Load/Unload Retry Count"},
	{0xE0, 0, "Load Function"},
	{0xE1, 0, "Load/Unload Cycles"},
	{0xE2, 0, "Load-in Time"},
	{0xE3, 0, "Torque Amplification Count"},
	{0xE4, 0, "Power-Off Retract Count"},
	{0xE5, 0, "HDA Temperature"},
	{0xE6, 0, "GMR Head Amplitude"},
	{0xF0, 0, "Head Flying Hours"},
	{0xFA, 0, "Read Error Retry Rate"},
	{0xAD, 0, "Erase Count"},
	{0xCA, 0, "Life Rate"}, /* never reached: 0xCA reads as row 23 */
	{0xF1, 0, "Access Count"},
	{0x00, 0, "Vendor specific"},
	{0x00, 0, ""},
};
static_assert(sizeof(smartdesc) / sizeof(smartdesc[0]) == SMARTDESC_ROWS, "52 attribute rows");
static_assert(smartdesc[SMARTDESC_CATCHALL].id == 0 && smartdesc[SMARTDESC_CATCHALL + 1].id == 0,
	      "catch-all row and end row");

/* a row without prefix or model is passed over whole, maker included */
constexpr hddmaker hddmakerinfo[] = {
	{"WesternDigital", "WD", "WD1600AAJS-22WAA0"},
	{"WesternDigital", "WD", "WD1600BB-55GUC0"},
	{"Seagate", "ST", "ST380215SCE0"},
	{"Seagate", "ST", "ST3120213A"},
	{"SAMSUNG", "SP", "SP0802N"},
	{"Hitachi", "HD", "HDS721680PLAT80"},
	{"Hitachi", "HD", "HDT722516DLAT80"},
	{"Maxtor", nullptr, nullptr},
	{"FUJITSU", nullptr, nullptr},
	{"TOSHIBA", nullptr, nullptr},
	{"Buffalo", "M0", "M032GBU"},
	{nullptr, nullptr, nullptr},
};
static_assert(sizeof(hddmakerinfo) / sizeof(hddmakerinfo[0]) == 12, "12 maker rows");

/* text begins with prefix (case matters) */
bool begins_with(const char *text, const char *prefix)
{
	return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

/* the description row of an attribute id: the first equal row or the catch-all */
int smartdesc_row(std::uint8_t id)
{
	int i = 0;

	for (i = 0; i < SMARTDESC_ROWS; i++) {
		if (smartdesc[i].id == id || smartdesc[i].id == 0)
			break;
	}
	return i;
}

/* a fresh NUL-terminated heap copy of at most len bytes of src, up to a NUL */
char *copy_text(const char *src, std::size_t len)
{
	const std::size_t n = strnlen(src, len);
	auto *copy = static_cast<char *>(std::malloc(n + 1));

	if (copy != nullptr) {
		std::memcpy(copy, src, n);
		copy[n] = '\0';
	}
	return copy;
}

/*
 * The block layer's identify request on path: open read-write, send, close.
 * Prints the open or request failure; the request's result, or ERROR when
 * the node does not open.
 */
int read_identity(const char *path, std::uint16_t (&identify)[ATA_ID_WORDS])
{
	ostrautil_frame frame = {path, __func__, __LINE__,
				 OSTRAUTIL_REPORT_ERRNO | OSTRAUTIL_FRAME_PATH};

	std::memset(identify, 0, sizeof(identify));
	frame.req[0] = {HDIO_GET_IDENTITY, identify};
	return ostrautil_issue_requests(frame);
}

} // namespace

/*
 * Command 0x51: identify data, SMART attributes and thresholds of every drive
 * through the driver, then the report file.  A failing drive stops the run
 * before the file is touched.
 */
int ostratuil_get_smartattr(char *dev)
{
	struct smartinfo smart[ZTOSTRA_HDD_MAX_CH];
	ostrautil_frame frame = {};
	int i = 0;
	int retcode = ERROR;

	std::memset(smart, 0, sizeof(smart));
	if (dev == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	for (i = 0; i < ZTOSTRA_HDD_MAX_CH && devname2[i] != nullptr; i++) {
		frame = {devname2[i], __func__, __LINE__, OSTRAUTIL_REPORT_LINE};
		frame.req[0] = {ZTOSTRA_GET_IDENTDATA, smart[i].id, false, __LINE__};
		frame.req[1] = {ZTOSTRA_GET_SMARTATTR, smart[i].attr, false, __LINE__};
		frame.req[2] = {ZTOSTRA_GET_SMARTTHRS, smart[i].thrs, false, __LINE__};
		retcode = ostrautil_issue_requests(frame);
		if (retcode < 0)
			goto end;
	}
	if (ostrautil_output_smartattr(smart) == ERROR) {
		std::printf("ostrautil_output_smartattr() error\n");
		retcode = ERROR;
		goto end;
	}
	retcode = OK;
end:
	return retcode;
}

/*
 * Writes /tmp/ostra_smart.info: "maker,model,count", then one line per
 * attribute slot, 30 per drive, numbered on over both drives.
 */
int ostrautil_output_smartattr(struct smartinfo *smart)
{
	char maker[SMART_MAKER_LENGTH];
	char model[SMART_MODEL_LENGTH];
	int attrcnt = 0;
	std::uint32_t ch = 0;
	int index = 0;
	int i = 0;
	const std::uint8_t *attr = nullptr;
	const std::uint8_t *thrs = nullptr;
	std::FILE *fp = nullptr;
	int retcode = ERROR;

	if (smart == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	std::memset(maker, 0, sizeof(maker));
	std::memset(model, 0, sizeof(model));
	if (ostrautil_get_makermodel(smart, maker, model) == ERROR) {
		std::printf("%s(%d):ostrautil_get_makermodel error\n", __func__, __LINE__);
		goto end;
	}

	for (ch = 0; ch < port && ch < ZTOSTRA_HDD_MAX_CH; ch++) {
		for (index = 0; index < SMART_ATTR_AMOUNT; index++) {
			attr = &smart[ch].attr[2 + SMART_ATTR_SIZE * index];
			i = smartdesc_row(attr[0]);
			if (attr[0] != 0 && i < SMARTDESC_CATCHALL)
				attrcnt++;
		}
	}

	fp = ostrautil_open_report(SMART_INFO_FILE, false);
	if (fp == nullptr) {
		std::printf("%s() : hdd smart information file open failure - %s.\n", __func__,
			    SMART_INFO_FILE);
		goto end;
	}
	std::printf("output hdd maker, hdd model.\n");
	std::fprintf(fp, "%s,%s,%d\n", maker, model, attrcnt);
	for (ch = 0; ch < port && ch < ZTOSTRA_HDD_MAX_CH; ch++) {
		for (index = 0; index < SMART_ATTR_AMOUNT; index++) {
			attr = &smart[ch].attr[2 + SMART_ATTR_SIZE * index];
			thrs = &smart[ch].thrs[2 + SMART_ATTR_SIZE * index];
			i = smartdesc_row(attr[0]);
			std::fprintf(fp, "%02d,%02X,%02d,",
				     static_cast<int>(SMART_ATTR_AMOUNT * ch) + index + 1,
				     static_cast<unsigned int>(ch), smartdesc[i].priority);
			std::fprintf(fp, "%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X,",
				     attr[11], attr[10], attr[9], attr[8], attr[7], attr[6],
				     attr[5], attr[4], attr[3], attr[2], attr[1], attr[0]);
			std::fprintf(fp, "%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X,",
				     thrs[11], thrs[10], thrs[9], thrs[8], thrs[7], thrs[6],
				     thrs[5], thrs[4], thrs[3], thrs[2], thrs[1], thrs[0]);
			std::fprintf(fp, "%03d,%03d,%03d,%03d,", attr[0], attr[3], thrs[1],
				     attr[4]);
			std::fprintf(fp, "%02X%02X%02X%02X%02X%02X,", attr[10], attr[9], attr[8],
				     attr[7], attr[6], attr[5]);
			std::fprintf(fp, "%s\n", smartdesc[i].contents);
		}
	}
	std::fflush(fp);
	std::fclose(fp);
	retcode = OK;
end:
	return retcode;
}

/* hook called after each SMART read; prints nothing */
void smart_dump(unsigned char *buff)
{
	(void)buff;
}

/*
 * Maker and model of the first drive from its 40-character model text: the
 * text is stripped and split at its first space into a maker word and a
 * model part, which are looked up in hddmakerinfo.  No match is no failure:
 * both become "unknown".
 */
int ostrautil_get_makermodel(struct smartinfo *smart, char *maker, char *model)
{
	char makername[ATA_ID_PROD_LEN + 1];
	char *modelname = nullptr;
	char *p = nullptr;
	const char *hddmaker = nullptr;
	const char *hddprefix = nullptr;
	const char *hddmodel = nullptr;
	int loop = 0;
	bool found = false;
	int retcode = ERROR;

	if (smart == nullptr || maker == nullptr || model == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	std::memset(makername, 0, sizeof(makername));
	std::memcpy(makername, reinterpret_cast<const char *>(smart[0].id) + ID_MODEL_BYTE,
		    ATA_ID_PROD_LEN);
	if (ostratuil_strip_space(makername, ATA_ID_PROD_LEN) == ERROR) {
		std::printf("%s() space character stripping failure.\n", __func__);
		goto end;
	}

	modelname = makername;
	for (p = makername; *p != '\0'; p++) {
		if (*p == ' ')
			break;
	}
	if (*p == ' ') {
		std::printf("space character - found.\n");
		*p = '\0';
		modelname = p + 1;
	} else {
		std::printf("space character - not found.\n");
	}

	for (loop = 0; hddmakerinfo[loop].maker != nullptr; loop++) {
		hddmaker = hddmakerinfo[loop].maker;
		hddprefix = hddmakerinfo[loop].prefix;
		hddmodel = hddmakerinfo[loop].model;
		if (hddprefix == nullptr || hddmodel == nullptr)
			continue;
		if (begins_with(makername, hddmaker) || begins_with(makername, hddprefix) ||
		    begins_with(modelname, hddmodel)) {
			found = true;
			break;
		}
	}

	std::memset(maker, 0, SMART_MAKER_LENGTH);
	std::memset(model, 0, SMART_MODEL_LENGTH);
	if (found) {
		std::printf("hdd maker information - found.\n");
		std::printf("hdd maker name - found.\n");
		std::memcpy(maker, hddmaker, strnlen(hddmaker, SMART_MAKER_LENGTH));
		std::memcpy(model, modelname, strnlen(modelname, SMART_MODEL_LENGTH));
	} else {
		std::printf("hdd maker name - not found.\n");
		std::memcpy(maker, "unknown", sizeof("unknown"));
		std::memcpy(model, "unknown", sizeof("unknown"));
	}
	retcode = OK;
end:
	return retcode;
}

/*
 * Strips the spaces around a text field of length characters in place; only
 * the space character counts, a NUL does not.  data has length + 1 bytes and
 * holds the stripped text followed by NULs afterwards.
 */
int ostratuil_strip_space(char *data, int length)
{
	char *startptr = nullptr;
	char *endtptr = nullptr;
	char *temp = nullptr;
	std::size_t n = 0;
	int retcode = ERROR;

	if (data == nullptr || length <= 0) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	for (startptr = data; startptr < data + length; startptr++) {
		if (*startptr != ' ')
			break;
	}
	if (startptr == data + length) {
		std::printf("stripping data - all space.\n");
		data[0] = '\0';
		retcode = OK;
		goto end;
	}
	for (endtptr = data + length - 1; endtptr > startptr; endtptr--) {
		if (*endtptr != ' ')
			break;
	}
	n = static_cast<std::size_t>(endtptr - startptr) + 1;
	temp = static_cast<char *>(std::malloc(n + 1));
	if (temp == nullptr) {
		std::printf("%s() temporary buffer allocation failure.\n", __func__);
		goto end;
	}
	std::memset(temp, 0, n + 1);
	std::memcpy(temp, startptr, n);
	std::memset(data, 0, static_cast<std::size_t>(length) + 1);
	std::memcpy(data, temp, n);
	std::free(temp);
	retcode = OK;
end:
	return retcode;
}

/*
 * Command 0x53: empties /tmp/ostra_serial.info, then reads each drive's model
 * and serial number and appends them.  A failing drive ends the run; the
 * lines of the drives before it stay.
 */
int ostrautil_get_serial(char *dev)
{
	char devfile[OSTRAUTIL_DEVFILE_LEN];
	char model[ZTOSTRA_HDD_MAX_CH][SERIAL_MODEL_ROW];
	char serial[ZTOSTRA_HDD_MAX_CH][SERIAL_SERIAL_ROW];
	std::uint32_t i = 0;
	int retcode = ERROR;

	if (dev == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	if (ostrautil_output_serial_init() != OK) {
		std::printf("%s() ostrautil_output_serial_init failed.\n", __func__);
		goto end;
	}
	for (i = 0; i < port && i < ZTOSTRA_HDD_MAX_CH; i++) {
		std::memset(model[i], 0, sizeof(model[i]));
		std::memset(serial[i], 0, sizeof(serial[i]));
		if (ostrautil_make_devfile(devfile, "/dev/", devname2[i], __func__, __LINE__) != OK)
			goto end;
		if (ostrautil_get_identify(devfile, model[i], serial[i]) != 0) {
			std::printf("%s() ostrautil_get_identify failed.\n", __func__);
			goto end;
		}
		(void)ostrautil_output_serial(model, serial, static_cast<int>(i));
	}
	retcode = OK;
end:
	return retcode;
}

/* creates or empties the serial report file */
int ostrautil_output_serial_init(void)
{
	std::FILE *fp = nullptr;
	int retcode = ERROR;

	fp = ostrautil_open_report(SERIAL_INFO_FILE, false);
	if (fp == nullptr) {
		std::printf("%s() : hdd ssd serial file init open failure - %s.\n", __func__,
			    SERIAL_INFO_FILE);
		goto end;
	}
	std::fflush(fp);
	std::fclose(fp);
	retcode = OK;
end:
	return retcode;
}

/*
 * Model (44 chars) and serial number (24 chars) of the drive at devfile,
 * without surrounding spaces.  Gives the identify request's result, or ERROR
 * when the node does not open.
 */
int ostrautil_get_identify(char *devfile, char *model, char *serial)
{
	std::uint16_t identify[ATA_ID_WORDS];
	const char *id = reinterpret_cast<const char *>(identify);
	char *modelcopy = nullptr;
	char *serialcopy = nullptr;
	const char *model2 = nullptr;
	const char *serial2 = nullptr;
	int retcode = ERROR;

	if (devfile == nullptr || model == nullptr || serial == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	retcode = read_identity(devfile, identify);
	if (retcode < 0)
		goto end;
	modelcopy = copy_text(id + ID_MODEL_BYTE, ATA_ID_PROD_LEN);
	serialcopy = copy_text(id + ID_SERIAL_BYTE, ATA_SERNO_LEN);
	if (modelcopy == nullptr || serialcopy == nullptr) {
		std::printf("%s() temporary buffer allocation failure.\n", __func__);
		retcode = ERROR;
		goto end;
	}
	model2 = strip(modelcopy);
	serial2 = strip(serialcopy);
	std::memcpy(model, model2, std::strlen(model2) + 1);
	std::memcpy(serial, serial2, std::strlen(serial2) + 1);
	std::printf("Model=%.40s, SerialNo=%.20s\n", model, serial);
end:
	std::free(modelcopy);
	std::free(serialcopy);
	return retcode;
}

/* appends drive port_num's model and serial number to the report file */
int ostrautil_output_serial(char (*model)[44], char (*serial)[24], int port_num)
{
	std::FILE *fp = nullptr;
	int retcode = ERROR;

	if (model == nullptr || serial == nullptr || port_num < 0 ||
	    port_num >= ZTOSTRA_HDD_MAX_CH) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	fp = ostrautil_open_report(SERIAL_INFO_FILE, true);
	if (fp == nullptr) {
		std::printf("%s() : hdd ssd serial file init open failure - %s.\n", __func__,
			    SERIAL_INFO_FILE);
		goto end;
	}
	std::fprintf(fp, "%.40s\n", model[port_num]);
	std::fprintf(fp, "%.20s\n", serial[port_num]);
	std::fflush(fp);
	std::fclose(fp);
	retcode = OK;
end:
	return retcode;
}

/* removes the spaces around s in place; gives its first non-space character */
char *strip(char *s)
{
	char *end = nullptr;

	if (s == nullptr)
		goto end;
	while (*s == ' ')
		s++;
	if (*s == '\0')
		goto end;
	for (end = s + std::strlen(s) - 1; end > s && *end == ' '; end--)
		*end = '\0';
end:
	return s;
}

/* "identify": the 256 identify words of the drive at the path dev, 8 a line */
int ostrautil_print_identify(char *dev)
{
	std::uint16_t identify[ATA_ID_WORDS];
	int i = 0;
	int retcode = ERROR;

	if (dev == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	retcode = read_identity(dev, identify);
	if (retcode < 0)
		goto end;
	std::printf("==== ahci(%s) identify ====\n", dev);
	for (i = 0; i < ATA_ID_WORDS; i += 8) {
		std::printf("id[%03d] 0x%04x 0x%04x 0x%04x 0x%04x", i, identify[i] + 0U,
			    identify[i + 1] + 0U, identify[i + 2] + 0U, identify[i + 3] + 0U);
		std::printf(" 0x%04x 0x%04x 0x%04x 0x%04x\n", identify[i + 4] + 0U,
			    identify[i + 5] + 0U, identify[i + 6] + 0U, identify[i + 7] + 0U);
	}
end:
	return retcode;
}
