#ifndef QV_SERVER_API_H
#define QV_SERVER_API_H

#include <string>

#include "server/Page.h"

namespace Quorvel {

// The JSON API, from the same data as the page, so that the two never
// disagree. /api/v1/summary: one game over a period; /api/v1/games: every
// game over it. Dates YYYY-MM-DD; shares are percent of the period's
// reports, one decimal.
std::string RenderSummaryJson(const QVDashboardData& data);
std::string RenderGamesJson(const QVDashboardData& data);
// {"error": "..."}
std::string ErrorJson(const std::string& message);
// A JSON string, quoted, every character that must be escaped escaped.
std::string JsonString(const std::string& text);

}  // namespace Quorvel

#endif
