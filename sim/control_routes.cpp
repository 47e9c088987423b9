#include <string>

#include "sim/http_common.h"
#include "sim/routes.h"

namespace qe::sim {

void AddControlRoutes(httplib::Server& server, SimContext& context) {
    Routes routes(server, context, "control", false);
    SimContext* ctx = &context;
    routes.Get("/control/state",
               [ctx](const httplib::Request&, const std::string&, httplib::Response& response) {
                   response.set_content(ctx->orders.Json(), "application/json");
               });
    routes.Get("/control/scenario",
               [ctx](const httplib::Request&, const std::string&, httplib::Response& response) {
                   response.set_content(ScenarioJson(ctx->scenario.Get()), "application/json");
               });
    routes.Post("/control/scenario", [ctx](const httplib::Request&, const std::string& body,
                                           httplib::Response& response) {
        Scenario scenario;
        if (std::string error = ParseScenario(body, scenario); !error.empty()) {
            AnswerText(response, 400, error);
            return;
        }
        ctx->scenario.Replace(scenario);
        LogLine("control scenario replaced");
        response.set_content(ScenarioJson(scenario), "application/json");
    });
}

}  // namespace qe::sim
