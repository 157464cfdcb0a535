#include "sample_record.h"

#include "frame/ops.h"

namespace sample_record {
namespace {

using frame::Ref;

// The RawData object of the sample record as one line of JSON.
constexpr const char* kRawDataJson =
    "{\"ObjectId\": 1623297786281202642, \"SocialID\": \"de9aeaed48ff63a3fe30cc5099dbec6b\", "
    "\"OrderID\": 220, \"CreatedDate\": \"2023-11-26 13:30:55\", \"NumCommentsCount\": 0, "
    "\"NumShareCount\": 0, \"NumVideoViews\": 1287, \"Description\": \"How long does it take "
    "you to become an expert at crypto trading?\", \"LanguageName\": \"english\", "
    "\"FilterKeywords\": \" (finance)\", \"UserInfo\": {\"AuthorSocialID\": \"dsdsdasdsa\"}, "
    "\"URL\": \"https://qa.example.com/unanswered/"
    "How-long-does-it-take-you-to-become-an-expert-at-crypto-trading\", \"AnswerCounts\": 11, "
    "\"SimplifiedText\": \"Question: How long does it take you to become an expert at crypto "
    "trading?\"}";

#define SAMPLE_RECORD_NAMES(X)                          \
    X(json, "json")                                     \
    X(loads, "loads")                                   \
    X(zorva_data, "zorva_data")                         \
    X(raw_data_json, kRawDataJson)                      \
    X(RawData, "RawData")                               \
    X(ChannelGroup, "ChannelGroup")                     \
    X(ChannelType, "ChannelType")                       \
    X(BrandInfo, "BrandInfo")                           \
    X(BrandID, "BrandID")                               \
    X(BrandName, "BrandName")                           \
    X(CategoryID, "CategoryID")                         \
    X(CategoryName, "CategoryName")                     \
    X(BrandSettings, "BrandSettings")                   \
    X(OperationEnum, "OperationEnum")                   \
    X(MentionTrackingDetails, "MentionTrackingDetails") \
    X(FetchingServiceInTime, "FetchingServiceInTime")   \
    X(FetchingServiceOutTime, "FetchingServiceOutTime") \
    X(ServiceName, "ServiceName")                       \
    X(brand_name, "Titktok")                            \
    X(category_name, "KestruneTestDB")                  \
    X(fetching_in_time, "2024-06-27T05:24:20.967412")   \
    X(fetching_out_time, "2024-06-27T05:24:22.670233")  \
    X(service_name, "ZorvaDataCollectionService")
FRAME_NAMES(Names, SAMPLE_RECORD_NAMES);

struct Constants {
    PyObject* channel_group = nullptr;
    PyObject* channel_type = nullptr;
    PyObject* brand_id = nullptr;
    PyObject* category_id = nullptr;
};

// What this part keeps for the life of the process.
struct State {
    Names names;
    Constants constants;
} part;

Names& names = part.names;
Constants& constants = part.constants;

// Lines of the record's statements, counted from the line that opens it.
constexpr int kEntries = 1;         // the record's own entries
constexpr int kBrandInfo = 6;       // the BrandInfo dictionary
constexpr int kBrandSettings = 10;  // its empty BrandSettings dictionary
constexpr int kMention = 14;        // the MentionTrackingDetails dictionary

}  // namespace

int make_constants() {
    const int interned = frame::intern_names(part.names.table());
    if (interned < 0) return -1;
    struct {
        PyObject** slot;
        long value;
    } const table[] = {
        {&constants.channel_group, 36},
        {&constants.channel_type, 75},
        {&constants.brand_id, 12168},
        {&constants.category_id, 1808},
    };
    for (const auto& [slot, value] : table) {
        if (!*slot && !(*slot = PyLong_FromLong(value))) return -1;
    }
    return 0;
}

int build(frame::ModuleState& state, int first_line, int& line) {
    line = first_line + kEntries;
    Ref record = Ref::steal(PyDict_New());
    if (!record) return -1;
    Ref json = frame::lookup_global(state, names.json);
    Ref loads = json ? frame::get_attr(json.get(), names.loads) : Ref();
    Ref raw_data = loads ? frame::call(loads.get(), {names.raw_data_json}) : Ref();
    if (!raw_data || PyDict_SetItem(record.get(), names.RawData, raw_data.get()) < 0 ||
        PyDict_SetItem(record.get(), names.ChannelGroup, constants.channel_group) < 0 ||
        PyDict_SetItem(record.get(), names.ChannelType, constants.channel_type) < 0)
        return -1;

    line = first_line + kBrandInfo;
    Ref brand_info = Ref::steal(PyDict_New());
    if (!brand_info || PyDict_SetItem(brand_info.get(), names.BrandID, constants.brand_id) < 0 ||
        PyDict_SetItem(brand_info.get(), names.BrandName, names.brand_name) < 0 ||
        PyDict_SetItem(brand_info.get(), names.CategoryID, constants.category_id) < 0 ||
        PyDict_SetItem(brand_info.get(), names.CategoryName, names.category_name) < 0)
        return -1;
    line = first_line + kBrandSettings;
    Ref brand_settings = Ref::steal(PyDict_New());
    if (!brand_settings ||
        PyDict_SetItem(brand_info.get(), names.BrandSettings, brand_settings.get()) < 0)
        return -1;
    line = first_line + kBrandInfo;
    if (PyDict_SetItem(brand_info.get(), names.OperationEnum, Py_None) < 0) return -1;
    line = first_line + kEntries;
    if (PyDict_SetItem(record.get(), names.BrandInfo, brand_info.get()) < 0) return -1;

    line = first_line + kMention;
    Ref mention = Ref::steal(PyDict_New());
    if (!mention ||
        PyDict_SetItem(mention.get(), names.FetchingServiceInTime, names.fetching_in_time) < 0 ||
        PyDict_SetItem(mention.get(), names.FetchingServiceOutTime, names.fetching_out_time) < 0)
        return -1;
    line = first_line + kEntries;
    if (PyDict_SetItem(record.get(), names.MentionTrackingDetails, mention.get()) < 0 ||
        PyDict_SetItem(record.get(), names.ServiceName, names.service_name) < 0)
        return -1;

    line = first_line;
    return frame::bind_global(state, names.zorva_data, record.get());
}

}  // namespace sample_record
