// Asio, its SSL layer and Beast are compiled here once (separate compilation).
#include <boost/asio/impl/src.hpp>
#include <boost/asio/ssl/impl/src.hpp>
#include <boost/beast/src.hpp>
