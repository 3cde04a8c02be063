#include "traffic_reports.h"

#include <cjson/cJSON.h>

// Reports answer empty documents until the traffic database is wired in.
cJSON *queryRecentTop10(int)
{
    return cJSON_CreateArray();
}

cJSON *queryRecentData(int)
{
    return cJSON_CreateArray();
}

char *buildReportData()
{
    return cJSON_PrintUnformatted(cJSON_Parse(R"({"hour":[],"top10":{"7day":[],"30day":[]}})"));
}
