// The core library's functions this module calls, and the event callback type.
// This is the whole contract with libzq3-c.so: the extension links against it
// and calls nothing else.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

#ifndef __cplusplus
#include <stdbool.h>
#endif

typedef void (*EventCallback)(const char* msg_type, void* data, int data_len);

// The request shapes (131 with a reply, 9 without).
#define CORE_REPLY(name) int name(void* req, int req_len, void** res, int* res_len);
#define CORE_REQUEST(name) int name(void* req, int req_len);
#include "core_functions.def"
#undef CORE_REPLY
#undef CORE_REQUEST

// Reply without request; arguments and reply.
int zqi_get_account_info_pb(void** res, int* res_len);
int zqi_current_pb(const char* symbols, bool include_call_auction, const char* fields, void** res, int* res_len);
int zqi_get_child_orders_pb(const char* account_id, const char* algo_id, void** res, int* res_len);
int zqi_algo_order_batch_pb(void* req, int req_len, const char* algo_name, const char* algo_params, void** res,
                            int* res_len);

// Setters.
void zqi_add_bus_topic(const char* topic);
void zqi_set_bus_info(const char* server_addr, const char* user_name, const char* password);
void zqi_set_bus_secure(int in_mode, const char* tlsca, const char* tlscert, const char* tlskey, bool skip_verify);
void zqi_set_mode(int mode);
void zqi_set_timer(int interval);
void zqi_user_timer_stop(int timer_id);
void zqi_set_backtest_intraday(int intraday);
void zqi_set_backtest_threadnum(int n);
void zqi_set_mode_consistency(bool mode);
void zqi_set_max_wait_time(int max_wait_time);
void zqi_set_apitoken(const char* token);
void zqi_set_serv_addr(const char* addr);
void zqi_set_serv_addr_v5(const char* addr, const char* orgcode, const char* site_id);
void zqi_set_strategy_id(const char* strategy_id);
void zqi_set_account_id(const char* account_ids);
void zqi_set_mfp(const char* mfp);
void zqi_set_version(const char* sdk_version, const char* sdk_lang, const char* reserved1, const char* reserved2);
void zqi_set_ctp_md_info(const char* front_addresses, const char* user_name, const char* password);
void zqi_set_simtrade_only(void);

// Calls with scalar arguments and a status.
int zqi_send_msg_to_bus(const char* topic, const char* msg);
int zqi_schedule(const char* date_rule, const char* time_rule);
int zqi_user_timer(int period, int start_delay);
int zqi_set_backtest_config(const char* start_time, const char* end_time, double initial_cash,
                            double transaction_ratio, double commission_ratio, double commission_unit,
                            double slippage_ratio, double option_float_margin_ratio1,
                            double option_float_margin_ratio2, int adjust, int match_mode, int check_cache);
int zqi_subscribe(const char* symbols, const char* frequency, bool unsubscribe_previous);
int zqi_unsubscribe(const char* symbols, const char* frequency);
int zqi_set_token(const char* token);
int zqi_smart_reorder(const char* symbol, double price, int volume, int side, int order_type, int position_effect,
                      int repeat_n, int max_price_offset, int time_out, int time_wait, const char* account);
int zqi_smart_reorder_cancel(int reorder_id);

// Texts.
const char* zqi_get_c_version(void);
const char* zqi_get_encrypted_token(void);
const char* zqi_get_ext_errormsg(void);
const char* zqi_get_orgcode(void);
const char* zqi_strerror(int errorno);
int zqi_get_serv_addr(const char* serv_id, char** addr);

// Control and clock.
int zqi_init(void);
int zqi_poll(void);
int zqi_run(void);
int zqi_stop(void);
int zqi_get_stop_error_code(void);
int zqi_use_dsproxy(void);
long long zqi_now(void);
double zqi_now_plus(void);

// Events.
void zqi_set_event_callback_pb(EventCallback cb);

#ifdef __cplusplus
}
#endif
