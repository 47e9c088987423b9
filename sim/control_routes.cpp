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
    // One network fault at a time, and the exchanges since it was set.
    routes.Post("/control/fault", [ctx](const httplib::Request&, const std::string& body,
                                        httplib::Response& response) {
        if (std::string error = ctx->network.Arm(body); !error.empty()) {
            AnswerText(response, 400, error);
            return;
        }
        LogLine("control fault set: " + body);
        AnswerText(response, 200, "");
    });
    routes.Get("/control/exchanges",
               [ctx](const httplib::Request&, const std::string&, httplib::Response& response) {
                   response.set_content(ctx->network.ExchangesJson(), "application/json");
               });
    // Puts back a state read before, so a test can run one renewal step many times over.
    routes.Post("/control/state", [ctx](const httplib::Request&, const std::string& body,
                                        httplib::Response& response) {
        OrderState state;
        std::string error;
        if (!OrderStateFromJson(body, state, error) ||
            !ctx->orders.Update([&state](OrderState& current) {
                current = state;
                return true;
            })) {
            AnswerText(response, 400, error.empty() ? "the state cannot be stored" : error);
            return;
        }
        LogLine("control state replaced");
        response.set_content(ctx->orders.Json(), "application/json");
    });
}

}  // namespace qe::sim
