// pages: the HTML page of each endpoint, rendered from the JSON of its
// /api/ twin (figures.h), so both show the same figures. Every text is
// escaped; links carry numbers and encoded parameters only.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace web {

std::string ServersPage(const nlohmann::json& j);
std::string GamesPage(const nlohmann::json& j);
std::string GamePage(const nlohmann::json& j);
std::string PlayersPage(const nlohmann::json& j);
std::string PlayerPage(const nlohmann::json& j);
std::string WeaponsPage(const nlohmann::json& j);
std::string TypesPage(const nlohmann::json& j);
std::string MapsPage(const nlohmann::json& j);
std::string ServerPage(const nlohmann::json& j);
std::string MapPage(const nlohmann::json& j);
std::string WeaponPage(const nlohmann::json& j);
std::string AwardsPage(const nlohmann::json& j);
std::string ErrorPage(int status, const std::string& message);

}  // namespace web
